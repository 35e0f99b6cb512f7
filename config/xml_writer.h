// The core's XML text writer over RapidXml node trees. Every document the core
// publishes (the configuration document, the memory-state document) is built
// as a node tree and turned into text here; the parser of the same library
// only reads.
//
// Printing and measuring share one walk, so the measured length is exactly
// what printing appends. Stateless; any thread may call these functions on a
// tree it owns.
#pragma once

#include <rapidxml/rapidxml.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace ko::core {

using XmlNode = rapidxml::xml_node<char>;
using XmlAttribute = rapidxml::xml_attribute<char>;
using XmlDocument = rapidxml::xml_document<char>;
using XmlPool = rapidxml::memory_pool<char>;

// No tab indentation and no line breaks anywhere. Options 0 indents with tabs
// and breaks lines.
inline constexpr int XmlPrintNoIndent = 1;

// Appends `node` and its subtree; `depth` is the indentation level of `node`
// (0 for a document).
std::string& printXml(std::string& text, const XmlNode& node, int options, std::size_t depth);

// Appends the attribute list of an element or declaration, each preceded by
// one blank; attributes with an empty name are skipped.
std::string& printAttributes(std::string& text, const XmlNode& node, int options);

// The exact number of bytes printXml with the same arguments appends.
std::size_t measureXml(const XmlNode& node, int options, std::size_t depth);

// A new text holding `document` printed without indentation, with `reserve`
// bytes reserved up front.
std::string renderXml(const XmlNode& document, std::size_t reserve);

// Appends `bytes` as an attribute value reads them back: & < > ' " become
// their entities, except that the byte `keep` is copied as is (0 replaces all
// five); tab, line feed and carriage return become character references; a
// character XML 1.0 does not allow, and any byte sequence that is not UTF-8,
// becomes U+FFFD. Element text is expanded the same way except that tabs and
// line feeds, which text keeps, are copied.
std::string& expandChars(std::string& text, std::string_view bytes, char keep);

}  // namespace ko::core
