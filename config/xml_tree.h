// Node trees of the XML library: parsing of the XML the core reads (core.xml,
// product.xml and configuration deltas from plugins), lookups, and the small
// builders the core's documents are made with.
//
// Parsing: RapidXml parses in place and recursively, so every
// parse here works on a private copy of the text and first checks how deeply
// the text nests; a text that would nest deeper than MaxXmlNesting is refused
// as a parse failure instead of running the parser's recursion off the stack.
// Stateless; any thread may parse or build a tree it owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "config/xml_writer.h"

namespace ko::core {

// The core's own documents nest four levels deep; anything near this limit
// is not a configuration document.
inline constexpr std::size_t MaxXmlNesting = 256;

// A document parsed from a private, zero-terminated copy of `text`; its nodes
// point into that copy, so the caller's bytes are never modified and need not
// outlive the parse. The text ends at its first zero byte, as the parser sees
// it.
class ParsedXml {
 public:
  // Throws std::runtime_error carrying the parser's message, or the nesting
  // message when the text nests deeper than MaxXmlNesting.
  explicit ParsedXml(std::string_view text);
  ParsedXml(const ParsedXml&) = delete;
  ParsedXml& operator=(const ParsedXml&) = delete;

  const XmlDocument& document() const noexcept { return document_; }

 private:
  std::unique_ptr<char[]> text_;
  XmlDocument document_;
};

// The deepest element nesting the parser would recurse through on the
// zero-terminated `text`, counted with the parser's own lexical rules up to
// the point where it would stop with an error.
std::size_t xmlNestingDepth(const char* text) noexcept;

// Lookups by exact, case-sensitive name over element nodes only.
const XmlNode* firstChildElement(const XmlNode& parent, std::string_view name) noexcept;
const XmlNode* nextSiblingElement(const XmlNode& node, std::string_view name) noexcept;
// The first element child whatever its name.
const XmlNode* firstChildElement(const XmlNode& parent) noexcept;
const XmlAttribute* firstAttribute(const XmlNode& node, std::string_view name) noexcept;
std::string_view valueOf(const XmlAttribute& attribute) noexcept;

// Builders. Names have static storage (literals); values are copied into the
// pool, which must be the memory of the document `parent` belongs to.
XmlNode* appendElement(XmlPool& pool, XmlNode& parent, std::string_view name);
void appendAttribute(XmlPool& pool, XmlNode& node, std::string_view name, std::string_view value);
// The value as shortest signed decimal text.
void appendNumber(XmlPool& pool, XmlNode& node, std::string_view name, int64_t value);
// Copies `text` into the pool; the copy is not zero-terminated.
const char* poolText(XmlPool& pool, std::string_view text);

}  // namespace ko::core
