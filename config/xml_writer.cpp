// The XML text writer. One walk, templated over its sink: StringSink appends
// bytes, CountSink adds up their number. measureXml and printXml are the two
// instantiations, so the reserve the core computes always matches what it
// prints. Entered by whichever thread builds a document (main or io).
#include "config/xml_writer.h"


namespace ko::core {

namespace {

class StringSink {
 public:
  explicit StringSink(std::string& text) noexcept : text_(text) {}
  void put(char c) { text_.push_back(c); }
  void put(std::string_view bytes) { text_.append(bytes); }
  void repeat(char c, std::size_t count) { text_.append(count, c); }

 private:
  std::string& text_;
};

class CountSink {
 public:
  void put(char) noexcept { ++count_; }
  void put(std::string_view bytes) noexcept { count_ += bytes.size(); }
  void repeat(char, std::size_t count) noexcept { count_ += count; }
  std::size_t count() const noexcept { return count_; }

 private:
  std::size_t count_ = 0;
};

std::string_view nameOf(const XmlNode& node) { return {node.name(), node.name_size()}; }
std::string_view valueOf(const XmlNode& node) { return {node.value(), node.value_size()}; }
std::string_view nameOf(const XmlAttribute& a) { return {a.name(), a.name_size()}; }
std::string_view valueOf(const XmlAttribute& a) { return {a.value(), a.value_size()}; }

// Where expanded bytes land decides which whitespace survives a parser:
// inside an attribute value every parser turns a tab or line break into a
// blank, in element text only a carriage return is rewritten (to a line feed).
enum class Context { Text, Attribute };

// Stands in for any character XML 1.0 does not allow and for every byte
// sequence that is not UTF-8, so the document stays well-formed.
constexpr std::string_view Replacement = "\xEF\xBF\xBD";

std::string_view entityFor(char c, Context context) noexcept {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '\'': return "&apos;";
    case '"': return "&quot;";
    case '\r': return "&#13;";
    case '\t': return context == Context::Attribute ? "&#9;" : std::string_view{};
    case '\n': return context == Context::Attribute ? "&#10;" : std::string_view{};
    default: return {};
  }
}

// The length of the well-formed UTF-8 sequence of an XML character at the
// start of `bytes` (a lead byte >= 0x80), or 0 with `bad` set to how many
// bytes one replacement character stands for: the longest prefix that could
// have begun a valid sequence, at least one byte.
std::size_t validSequence(std::string_view bytes, std::size_t& bad) noexcept {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = at(0);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    bad = 1;
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char lowest = i == 1 ? low : 0x80;
    const unsigned char highest = i == 1 ? high : 0xBF;
    if (i >= bytes.size() || at(i) < lowest || at(i) > highest) {
      bad = i;
      return 0;
    }
  }
  // U+FFFE and U+FFFF are not XML characters.
  if (lead == 0xEF && at(1) == 0xBF && at(2) >= 0xBE) {
    bad = 3;
    return 0;
  }
  return length;
}

// Copies runs of plain bytes in one piece; special characters become
// references and what XML cannot carry becomes U+FFFD.
template <typename Sink>
void expand(Sink& sink, std::string_view bytes, char keep, Context context) {
  std::size_t plain = 0;
  std::size_t i = 0;
  auto replace = [&](std::string_view with, std::size_t consumed) {
    sink.put(bytes.substr(plain, i - plain));
    sink.put(with);
    i += consumed;
    plain = i;
  };
  while (i < bytes.size()) {
    const char c = bytes[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      std::size_t bad = 0;
      const std::size_t length = validSequence(bytes.substr(i), bad);
      if (length != 0) {
        i += length;
      } else {
        replace(Replacement, bad);
      }
      continue;
    }
    if (c == keep && keep != 0) {
      ++i;
      continue;
    }
    if (const std::string_view entity = entityFor(c, context); !entity.empty()) {
      replace(entity, 1);
    } else if (byte < 0x20 && c != '\t' && c != '\n') {
      replace(Replacement, 1);
    } else {
      ++i;
    }
  }
  sink.put(bytes.substr(plain));
}

template <typename Sink>
class Walk {
 public:
  Walk(Sink& sink, int options) noexcept : sink_(sink), indent_((options & XmlPrintNoIndent) == 0) {}

  void attributes(const XmlNode& node) {
    for (const XmlAttribute* a = node.first_attribute(); a != nullptr; a = a->next_attribute()) {
      if (a->name_size() == 0) continue;
      sink_.put(' ');
      sink_.put(nameOf(*a));
      sink_.put('=');
      const std::string_view value = valueOf(*a);
      if (value.find('"') != std::string_view::npos) {
        sink_.put('\'');
        expand(sink_, value, '"', Context::Attribute);
        sink_.put('\'');
      } else {
        sink_.put('"');
        expand(sink_, value, '\'', Context::Attribute);
        sink_.put('"');
      }
    }
  }

  void node(const XmlNode& n, std::size_t depth) {
    switch (n.type()) {
      case rapidxml::node_document:
        for (const XmlNode* child = n.first_node(); child != nullptr; child = child->next_sibling()) {
          node(*child, depth);
        }
        return;
      case rapidxml::node_element:
        element(n, depth);
        return;
      case rapidxml::node_data:
        indent(depth);
        expand(sink_, valueOf(n), 0, Context::Text);
        break;
      case rapidxml::node_cdata:
        indent(depth);
        sink_.put("<![CDATA[");
        sink_.put(valueOf(n));
        sink_.put("]]>");
        break;
      case rapidxml::node_comment:
        indent(depth);
        sink_.put("<!-- ");
        sink_.put(valueOf(n));
        sink_.put(" -->");
        break;
      case rapidxml::node_declaration:
        indent(depth);
        sink_.put("<?xml");
        attributes(n);
        sink_.put("?>");
        break;
      case rapidxml::node_doctype:
        indent(depth);
        sink_.put("<!DOCTYPE ");
        sink_.put(valueOf(n));
        sink_.put('>');
        break;
      case rapidxml::node_pi:
        indent(depth);
        sink_.put("<?");
        sink_.put(nameOf(n));
        sink_.put(' ');
        sink_.put(valueOf(n));
        sink_.put("?>");
        break;
    }
    lineBreak();
  }

 private:
  void element(const XmlNode& n, std::size_t depth) {
    indent(depth);
    sink_.put('<');
    sink_.put(nameOf(n));
    attributes(n);
    const XmlNode* first = n.first_node();
    if (first == nullptr && n.value_size() == 0) {
      sink_.put("/>");
      lineBreak();
      return;
    }
    sink_.put('>');
    if (first == nullptr) {
      // The element's own value is printed only when it has no children.
      expand(sink_, valueOf(n), 0, Context::Text);
    } else if (first->next_sibling() == nullptr && first->type() == rapidxml::node_data) {
      expand(sink_, valueOf(*first), 0, Context::Text);
    } else {
      lineBreak();
      for (const XmlNode* child = first; child != nullptr; child = child->next_sibling()) {
        node(*child, depth + 1);
      }
      indent(depth);
    }
    sink_.put("</");
    sink_.put(nameOf(n));
    sink_.put('>');
    lineBreak();
  }

  void indent(std::size_t depth) {
    if (indent_) sink_.repeat('\t', depth);
  }
  void lineBreak() {
    if (indent_) sink_.put('\n');
  }

  Sink& sink_;
  const bool indent_;
};

}  // namespace

std::string& printXml(std::string& text, const XmlNode& node, int options, std::size_t depth) {
  StringSink sink(text);
  Walk<StringSink>(sink, options).node(node, depth);
  return text;
}

std::string& printAttributes(std::string& text, const XmlNode& node, int options) {
  StringSink sink(text);
  Walk<StringSink>(sink, options).attributes(node);
  return text;
}

std::size_t measureXml(const XmlNode& node, int options, std::size_t depth) {
  CountSink sink;
  Walk<CountSink>(sink, options).node(node, depth);
  return sink.count();
}

std::string renderXml(const XmlNode& document, std::size_t reserve) {
  std::string text;
  text.reserve(reserve);
  printXml(text, document, XmlPrintNoIndent, 0);
  return text;
}

std::string& expandChars(std::string& text, std::string_view bytes, char keep) {
  StringSink sink(text);
  expand(sink, bytes, keep, Context::Attribute);
  return text;
}

}  // namespace ko::core
