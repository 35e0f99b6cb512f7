// Parsing with a private copy and a nesting bound, lookups and builders.
// The nesting scan follows the parser's lexical rules (its own character
// tables, RapidXml flags 0) closely enough that it never counts less nesting
// than the parser would recurse through; every search in it either moves
// past what it found or ends the scan, so it stays linear in the text.
// Any thread.
#include "config/xml_tree.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace ko::core {

namespace {

constexpr int ParseFlags = 0;

using Tables = rapidxml::internal::lookup_tables<0>;

bool isSpace(char c) noexcept { return Tables::lookup_whitespace[static_cast<unsigned char>(c)] != 0; }
bool isNameChar(char c) noexcept { return Tables::lookup_node_name[static_cast<unsigned char>(c)] != 0; }
bool isAttributeNameChar(char c) noexcept {
  return Tables::lookup_attribute_name[static_cast<unsigned char>(c)] != 0;
}

const char* skipSpace(const char* p) noexcept {
  while (isSpace(*p)) ++p;
  return p;
}
const char* skipName(const char* p) noexcept {
  while (isNameChar(*p)) ++p;
  return p;
}
// Past the first `end` at or after `p`, or null when the text ends first.
const char* skipPast(const char* p, const char* end) noexcept {
  const char* found = std::strstr(p, end);
  return found != nullptr ? found + std::strlen(end) : nullptr;
}

// `p` is just past "<" of an element. Returns the position after its start
// tag and whether the tag opens content (">" rather than "/>"), or null where
// the parser would fail.
const char* scanStartTag(const char* p, bool& opens) noexcept {
  const char* name = p;
  p = skipName(p);
  if (p == name) return nullptr;
  p = skipSpace(p);
  while (isAttributeNameChar(*p)) {
    ++p;
    while (isAttributeNameChar(*p)) ++p;
    p = skipSpace(p);
    if (*p != '=') return nullptr;
    p = skipSpace(p + 1);
    const char quote = *p;
    if (quote != '\'' && quote != '"') return nullptr;
    p = std::strchr(p + 1, quote);
    if (p == nullptr) return nullptr;
    p = skipSpace(p + 1);
  }
  if (*p == '>') {
    opens = true;
    return p + 1;
  }
  if (p[0] == '/' && p[1] == '>') {
    opens = false;
    return p + 2;
  }
  return nullptr;
}

// `p` is just past "<!DOCTYPE ". Bracketed sections may hold ">".
const char* scanDoctype(const char* p) noexcept {
  while (*p != '>') {
    if (*p == '\0') return nullptr;
    if (*p == '[') {
      ++p;
      int depth = 1;
      while (depth > 0) {
        if (*p == '\0') return nullptr;
        if (*p == '[') ++depth;
        if (*p == ']') --depth;
        ++p;
      }
    } else {
      ++p;
    }
  }
  return p + 1;
}

}  // namespace

std::size_t xmlNestingDepth(const char* text) noexcept {
  std::size_t depth = 0;
  std::size_t deepest = 0;
  const char* p = text;
  // Character data ends only at "<", so every markup starts at the next one.
  while (p != nullptr && (p = std::strchr(p, '<')) != nullptr) {
    ++p;
    if (*p == '/') {
      p = skipSpace(skipName(p + 1));
      if (*p != '>') break;
      ++p;
      if (depth > 0) --depth;
    } else if (*p == '?') {
      p = skipPast(p + 1, "?>");
    } else if (*p == '!') {
      if (p[1] == '-' && p[2] == '-') {
        p = skipPast(p + 3, "-->");
      } else if (std::strncmp(p + 1, "[CDATA[", 7) == 0) {
        p = skipPast(p + 8, "]]>");
      } else if (std::strncmp(p + 1, "DOCTYPE", 7) == 0 && isSpace(p[8])) {
        p = scanDoctype(p + 9);
      } else {
        p = std::strchr(p + 1, '>');
        if (p != nullptr) ++p;
      }
    } else {
      bool opens = false;
      p = scanStartTag(p, opens);
      if (p != nullptr && opens) deepest = std::max(deepest, ++depth);
    }
  }
  return deepest;
}

ParsedXml::ParsedXml(std::string_view text) : text_(new char[text.size() + 1]) {
  // An empty view may carry a null pointer, which memcpy must not see.
  if (!text.empty()) std::memcpy(text_.get(), text.data(), text.size());
  text_[text.size()] = '\0';
  if (xmlNestingDepth(text_.get()) > MaxXmlNesting) {
    throw std::runtime_error(fmt::format("Failed - xml nested deeper than {} levels", MaxXmlNesting));
  }
  try {
    document_.parse<ParseFlags>(text_.get());
  } catch (const rapidxml::parse_error& e) {
    throw std::runtime_error(e.what());
  }
}

const XmlNode* firstChildElement(const XmlNode& parent, std::string_view name) noexcept {
  for (const XmlNode* n = parent.first_node(); n != nullptr; n = n->next_sibling()) {
    if (n->type() == rapidxml::node_element && std::string_view(n->name(), n->name_size()) == name) return n;
  }
  return nullptr;
}

const XmlNode* firstChildElement(const XmlNode& parent) noexcept {
  for (const XmlNode* n = parent.first_node(); n != nullptr; n = n->next_sibling()) {
    if (n->type() == rapidxml::node_element) return n;
  }
  return nullptr;
}

const XmlNode* nextSiblingElement(const XmlNode& node, std::string_view name) noexcept {
  if (node.parent() == nullptr) return nullptr;
  for (const XmlNode* n = node.next_sibling(); n != nullptr; n = n->next_sibling()) {
    if (n->type() == rapidxml::node_element && std::string_view(n->name(), n->name_size()) == name) return n;
  }
  return nullptr;
}

const XmlAttribute* firstAttribute(const XmlNode& node, std::string_view name) noexcept {
  for (const XmlAttribute* a = node.first_attribute(); a != nullptr; a = a->next_attribute()) {
    if (std::string_view(a->name(), a->name_size()) == name) return a;
  }
  return nullptr;
}

std::string_view valueOf(const XmlAttribute& attribute) noexcept {
  return {attribute.value(), attribute.value_size()};
}

XmlNode* appendElement(XmlPool& pool, XmlNode& parent, std::string_view name) {
  XmlNode* element = pool.allocate_node(rapidxml::node_element);
  element->name(name.data(), name.size());
  parent.append_node(element);
  return element;
}

const char* poolText(XmlPool& pool, std::string_view text) {
  if (text.empty()) return "";
  char* copy = pool.allocate_string(nullptr, text.size());
  std::memcpy(copy, text.data(), text.size());
  return copy;
}

void appendAttribute(XmlPool& pool, XmlNode& node, std::string_view name, std::string_view value) {
  XmlAttribute* attribute = pool.allocate_attribute();
  attribute->name(name.data(), name.size());
  attribute->value(poolText(pool, value), value.size());
  node.append_attribute(attribute);
}

void appendNumber(XmlPool& pool, XmlNode& node, std::string_view name, int64_t value) {
  const fmt::format_int text(value);
  appendAttribute(pool, node, name, std::string_view(text.data(), text.size()));
}

}  // namespace ko::core
