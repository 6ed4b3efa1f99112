// The page nmx-view serve hands out, compiled in from tools/serve/page.
#pragma once

extern const char kServePageHtml[];
extern const char kServePageJs[];
extern const char kServePageCss[];
