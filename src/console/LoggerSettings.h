// The logger settings document built from the command line: the capture settings only, so
// that loading it keeps the engine's viewer port and clears its filters.
#pragma once

#include <pugixml.hpp>
#include <string>

#include "console/Parameters.h"

// Each appends a child element named name to parent and returns it (an empty handle when
// parent is empty). The value forms are the decimal number, "true"/"false", or the text.
pugi::xml_node XmlAddNode(pugi::xml_node parent, const char* name);
pugi::xml_node XmlAddLongNode(pugi::xml_node parent, const char* name, long value);
pugi::xml_node XmlAddBoolNode(pugi::xml_node parent, const char* name, bool value);
pugi::xml_node XmlAddTextNode(pugi::xml_node parent, const char* name, const char* text);

// The document as UTF-8 text: child elements indented with one tab per level, no XML
// declaration.
std::string BuildLoggerSettings(const Parms_t& parms);

// The document that restricts the viewer port to one local address: "ConnectionAddress" alone.
std::string BuildListenerSettings(const char* address);
