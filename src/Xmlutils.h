// The small adapter the rest of the system uses to read XML files.
#pragma once

#include "XmlParser/XMLNode.h"
#include "XmlParser/XMLParserBase64Tool.h"
#include "XmlParser/XmlParser.h"

#include <string>

// Reads a file with an encoding guess (which changes the reader's encoding
// for this and every later parse), parses it and returns the element called
// firstTag (see ParseBuffer), or an empty handle. For any code other than 0
// the report of XmlReportText is sent to NxMessages() with the caption
// "XML Parsing error" and the Error icon when showReport is true; warnings
// still return the tree. results (optional) receives the parse results.
XMLNode OpenDocument(const char* path, const char* firstTag, bool showReport,
                     XmlResults* results = nullptr);

// "XML Parsing error inside file '<path>'.\n<error text>\nAt line L, column C.\n"
// followed, for code 11, by "First Tag should be '<firstTag>'.\n".
std::string XmlReportText(const char* path, const char* firstTag, const XmlResults& results);

// The error text of results followed, where it has one, by " at line L, column C".
std::string XmlErrorWithPlace(const XmlResults& results);

// The attribute's value converted with strtol in base 0 (so "0x1F" and "-3"
// work); 0 when the node is empty or the attribute is missing or has no value.
long ReadIntAttribute(const XMLNode& node, const char* name);

// The first text of the first child called childName, or "" when there is none.
std::string ReadChildText(const XMLNode& node, const char* childName);
