// The traffic filters of the logger settings document.
#pragma once

#include <pugixml.hpp>

#include "nmx/NmxFilter.h"

// Reads the filters of a settings document's "FilterInfo" element and puts them on top of
// filter's current state (the caller resets it first) in one step. Throws std::bad_alloc when
// a table cannot be built; the filter is then left as it was or, when the port map of the
// command table fails, as CNmxFilter::SetKrpCommandTable leaves it.
void LoadNmxFilters(CNmxFilter& filter, const pugi::xml_node& filterInfo);
