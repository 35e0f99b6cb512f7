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

std::string_view entityFor(char c) noexcept {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '\'': return "&apos;";
    case '"': return "&quot;";
    default: return {};
  }
}

// Copies runs of plain bytes in one piece; only the five special characters
// are replaced.
template <typename Sink>
void expand(Sink& sink, std::string_view bytes, char keep) {
  std::size_t plain = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == keep) continue;
    const std::string_view entity = entityFor(bytes[i]);
    if (entity.empty()) continue;
    sink.put(bytes.substr(plain, i - plain));
    sink.put(entity);
    plain = i + 1;
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
        expand(sink_, value, '"');
        sink_.put('\'');
      } else {
        sink_.put('"');
        expand(sink_, value, '\'');
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
        expand(sink_, valueOf(n), 0);
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
      expand(sink_, valueOf(n), 0);
    } else if (first->next_sibling() == nullptr && first->type() == rapidxml::node_data) {
      expand(sink_, valueOf(*first), 0);
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
  expand(sink, bytes, keep);
  return text;
}

}  // namespace ko::core
