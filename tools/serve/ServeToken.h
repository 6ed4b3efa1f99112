// Where the page server's token may come from besides the command line: a file or the
// environment, so that it is not seen in the list of processes.
#pragma once

#include <string>

// The environment variable that gives the token when no option does.
constexpr const char kServeTokenVariable[] = "NMX_VIEW_TOKEN";

// Letters, digits and - _ . ~ only, at least one.
bool IsServeToken(const std::string& token);

// The token written in the regular file at path (4 KiB at most), without the blanks and line
// ends around it. False with the reason in *why when the file cannot be read as such; the
// token itself is not checked.
bool ReadServeTokenFile(const std::string& path, std::string* token, std::string* why);
