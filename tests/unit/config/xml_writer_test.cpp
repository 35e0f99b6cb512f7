// The XML writer: exact output for the shapes the core prints, and for random
// trees of every node kind that measuring and printing agree byte for byte.
#include <expat.h>
#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <string>

#include "config/xml_tree.h"
#include "config/xml_writer.h"

namespace ko::core {
namespace {

class XmlWriterTest : public ::testing::Test {
 protected:
  XmlNode* element(XmlNode& parent, std::string_view name) { return appendElement(doc_, parent, name); }
  std::string print(const XmlNode& node, int options, std::size_t depth = 0) {
    std::string text;
    printXml(text, node, options, depth);
    EXPECT_EQ(measureXml(node, options, depth), text.size());
    return text;
  }

  XmlDocument doc_;
};

TEST_F(XmlWriterTest, ChildlessElementWithoutValueClosesWithSlash) {
  XmlNode* memory = element(doc_, "Memory");
  appendNumber(doc_, *memory, "ID", -2147483648LL);
  appendAttribute(doc_, *memory, "Throttling", "1");
  EXPECT_EQ(print(*memory, 0), "<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n");
}

TEST_F(XmlWriterTest, ValueWithDoubleQuoteIsSingleQuotedWithApostrophesEscaped) {
  XmlNode* e = element(doc_, "E");
  appendAttribute(doc_, *e, "V", "say \"it's\"");
  EXPECT_EQ(print(*e, XmlPrintNoIndent), "<E V='say \"it&apos;s\"'/>");
}

TEST_F(XmlWriterTest, LessThanAndAmpersandAreEscapedInsideDoubleQuotes) {
  XmlNode* e = element(doc_, "E");
  appendAttribute(doc_, *e, "V", "a<b&c'd>");
  EXPECT_EQ(print(*e, XmlPrintNoIndent), "<E V=\"a&lt;b&amp;c'd&gt;\"/>");
}

TEST_F(XmlWriterTest, AttributeWithEmptyNameIsSkipped) {
  XmlNode* e = element(doc_, "E");
  appendAttribute(doc_, *e, "", "lost");
  appendAttribute(doc_, *e, "K", "");
  EXPECT_EQ(print(*e, XmlPrintNoIndent), "<E K=\"\"/>");
}

TEST_F(XmlWriterTest, DocumentIndentsWithTabsOrPrintsOneLine) {
  doc_.append_node(doc_.allocate_node(rapidxml::node_declaration));
  XmlNode* kora = element(doc_, "Kora");
  element(*kora, "Memory");
  EXPECT_EQ(print(doc_, 0), "<?xml?>\n<Kora>\n\t<Memory/>\n</Kora>\n");
  EXPECT_EQ(print(doc_, XmlPrintNoIndent), "<?xml?><Kora><Memory/></Kora>");
  EXPECT_EQ(renderXml(doc_, 0), "<?xml?><Kora><Memory/></Kora>");
}

TEST_F(XmlWriterTest, SingleDataChildStaysOnTheElementLine) {
  XmlNode* e = element(doc_, "E");
  XmlNode* data = doc_.allocate_node(rapidxml::node_data, nullptr, "x<y");
  e->append_node(data);
  EXPECT_EQ(print(*e, 0, 2), "\t\t<E>x&lt;y</E>\n");
}

TEST_F(XmlWriterTest, ElementWithValueAndChildrenPrintsOnlyChildren) {
  XmlNode* e = element(doc_, "E");
  e->value("ignored");
  element(*e, "C");
  EXPECT_EQ(print(*e, 0), "<E>\n\t<C/>\n</E>\n");
  XmlNode* v = element(doc_, "V");
  v->value("a&b");
  EXPECT_EQ(print(*v, XmlPrintNoIndent), "<V>a&amp;b</V>");
}

TEST_F(XmlWriterTest, NamesAndValuesAreUsedByLengthNotTerminator) {
  static const char names[] = "KoraTrailing";
  static const char values[] = "12345";
  XmlNode* e = doc_.allocate_node(rapidxml::node_element, names, nullptr, 4);
  e->append_attribute(doc_.allocate_attribute(names, values, 2, 3));
  EXPECT_EQ(print(*e, XmlPrintNoIndent), "<Kora Ko=\"123\"/>");
}

TEST_F(XmlWriterTest, OtherNodeKindsPrintTheirDelimiters) {
  auto node = [&](rapidxml::node_type kind, const char* name, const char* value) {
    return doc_.allocate_node(kind, name, value);
  };
  EXPECT_EQ(print(*node(rapidxml::node_cdata, nullptr, "<&>"), 0, 1), "\t<![CDATA[<&>]]>\n");
  EXPECT_EQ(print(*node(rapidxml::node_comment, nullptr, "a&b"), 0), "<!-- a&b -->\n");
  EXPECT_EQ(print(*node(rapidxml::node_doctype, nullptr, "html"), 0), "<!DOCTYPE html>\n");
  EXPECT_EQ(print(*node(rapidxml::node_pi, "target", "x=1"), 0), "<?target x=1?>\n");
  EXPECT_EQ(print(*node(rapidxml::node_data, nullptr, "\"q\""), XmlPrintNoIndent), "&quot;q&quot;");
  XmlNode* decl = node(rapidxml::node_declaration, nullptr, nullptr);
  appendAttribute(doc_, *decl, "version", "1.0");
  EXPECT_EQ(print(*decl, XmlPrintNoIndent), "<?xml version=\"1.0\"?>");
}

TEST_F(XmlWriterTest, PrintingAppendsWithoutTouchingExistingText) {
  XmlNode* e = element(doc_, "E");
  std::string text = "keep";
  printXml(text, *e, XmlPrintNoIndent, 0);
  printAttributes(text, *e, 0);
  EXPECT_EQ(text, "keep<E/>");
  std::string expanded = "x";
  EXPECT_EQ(expandChars(expanded, "&<>'\"", '\''), "x&amp;&lt;&gt;'&quot;");
  EXPECT_EQ(expandChars(expanded, "\"", 0), "x&amp;&lt;&gt;'&quot;&quot;");
}

// Random trees over every node kind, with names and values drawn from bytes
// that each need a different treatment, printed with both options and at
// several depths.
class XmlWriterProperty : public ::testing::Test {
 protected:
  // Pieces of UTF-8 sequences too, valid and broken, so that replacements
  // are measured as well.
  std::string randomText(std::size_t maxLength,
                         std::string_view alphabet = "ab<>&'\"\t\n\r \x01\x7f\xff\xc3\xa9\xed\xa0\xef\xbf") {
    std::uniform_int_distribution<std::size_t> length(0, maxLength);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text(length(rng_), ' ');
    for (char& c : text) c = alphabet[pick(rng_)];
    return text;
  }

  XmlNode* randomNode(int depth) {
    static constexpr rapidxml::node_type Kinds[] = {
        rapidxml::node_element, rapidxml::node_data,        rapidxml::node_cdata, rapidxml::node_comment,
        rapidxml::node_declaration, rapidxml::node_doctype, rapidxml::node_pi,    rapidxml::node_element};
    const auto kind = Kinds[std::uniform_int_distribution<int>(0, 7)(rng_)];
    XmlNode* node = doc_.allocate_node(kind);
    const std::string name = randomText(6);
    const std::string value = std::uniform_int_distribution<int>(0, 2)(rng_) == 0 ? "" : randomText(12);
    node->name(poolText(doc_, name), name.size());
    node->value(poolText(doc_, value), value.size());
    if (kind == rapidxml::node_element || kind == rapidxml::node_declaration) {
      const int attributes = std::uniform_int_distribution<int>(0, 3)(rng_);
      for (int i = 0; i < attributes; ++i) {
        const std::string attributeName = randomText(3);
        XmlAttribute* a = doc_.allocate_attribute();
        a->name(poolText(doc_, attributeName), attributeName.size());
        const std::string attributeValue = randomText(8);
        a->value(poolText(doc_, attributeValue), attributeValue.size());
        node->append_attribute(a);
      }
    }
    if (kind == rapidxml::node_element && depth < 5) {
      const int children = std::uniform_int_distribution<int>(0, 3)(rng_);
      for (int i = 0; i < children; ++i) node->append_node(randomNode(depth + 1));
    }
    return node;
  }

  std::mt19937 rng_{20261208};
  XmlDocument doc_;
};

TEST_F(XmlWriterProperty, MeasuredLengthEqualsPrintedBytesForRandomTrees) {
  for (int round = 0; round < 400; ++round) {
    doc_.clear();
    const int top = std::uniform_int_distribution<int>(0, 4)(rng_);
    for (int i = 0; i < top; ++i) doc_.append_node(randomNode(0));
    for (const int options : {0, XmlPrintNoIndent}) {
      for (const std::size_t depth : {std::size_t{0}, std::size_t{3}}) {
        std::string text = "prefix";
        printXml(text, doc_, options, depth);
        ASSERT_EQ(measureXml(doc_, options, depth), text.size() - 6) << "round " << round;
        ASSERT_EQ(text.substr(0, 6), "prefix");
        if (options == XmlPrintNoIndent && depth == 0) {
          ASSERT_EQ(renderXml(doc_, measureXml(doc_, options, 0)), text.substr(6));
        }
      }
    }
  }
}

// What a standard parser (expat, which normalises attribute whitespace as
// every conforming parser must) reads back as the value of attribute V of the
// root element, or as the root's text; "malformed: ..." when it refuses.
std::string expatReadBack(const std::string& document, bool attribute) {
  struct State {
    bool attribute;
    std::string seen;
    int depth = 0;
  } state{attribute, {}, 0};
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(
      parser,
      [](void* data, const XML_Char*, const XML_Char** attributes) {
        auto& s = *static_cast<State*>(data);
        if (s.depth++ == 0 && s.attribute) {
          for (int i = 0; attributes[i] != nullptr; i += 2) {
            if (std::string_view(attributes[i]) == "V") s.seen = attributes[i + 1];
          }
        }
      },
      [](void* data, const XML_Char*) { --static_cast<State*>(data)->depth; });
  XML_SetCharacterDataHandler(parser, [](void* data, const XML_Char* text, int length) {
    auto& s = *static_cast<State*>(data);
    if (!s.attribute) s.seen.append(text, static_cast<std::size_t>(length));
  });
  const bool ok = XML_Parse(parser, document.data(), static_cast<int>(document.size()), 1) == XML_STATUS_OK;
  std::string result = ok ? state.seen : std::string("malformed: ") + XML_ErrorString(XML_GetErrorCode(parser));
  XML_ParserFree(parser);
  return result;
}

// The value a reader should get back: every byte that XML cannot carry
// (here 0x01 and a lone 0xff) as U+FFFD, everything else as sent.
std::string expectedReadBack(const std::string& value) {
  std::string expected;
  for (const char c : value) {
    if (c == '\x01' || c == '\xff') {
      expected += "\xEF\xBF\xBD";
    } else {
      expected += c;
    }
  }
  return expected;
}

TEST_F(XmlWriterProperty, PrintedAttributeValuesParseBackUnchanged) {
  for (int round = 0; round < 300; ++round) {
    doc_.clear();
    XmlNode* e = appendElement(doc_, doc_, "E");
    const std::string value = randomText(20, "ab<>&'\"\t\n\r \x01\x7f\xff");
    appendAttribute(doc_, *e, "V", value);
    std::string text;
    printXml(text, doc_, XmlPrintNoIndent, 0);
    const ParsedXml parsed(text);
    const XmlNode* back = firstChildElement(parsed.document(), "E");
    ASSERT_NE(back, nullptr) << text;
    const XmlAttribute* attribute = firstAttribute(*back, "V");
    ASSERT_NE(attribute, nullptr) << text;
    ASSERT_EQ(valueOf(*attribute), expectedReadBack(value)) << text;
    ASSERT_EQ(expatReadBack(text, true), expectedReadBack(value)) << text;
  }
}

TEST_F(XmlWriterProperty, PrintedElementTextParsesBackUnchanged) {
  for (int round = 0; round < 300; ++round) {
    doc_.clear();
    XmlNode* e = appendElement(doc_, doc_, "E");
    const std::string value = randomText(20, "ab<>&'\"\t\n\r \x01\x7f\xff");
    e->value(poolText(doc_, value), value.size());
    for (const int options : {0, XmlPrintNoIndent}) {
      std::string text;
      printXml(text, doc_, options, 0);
      ASSERT_EQ(expatReadBack(text, false), expectedReadBack(value)) << text;
    }
  }
}

// Well-formed UTF-8 is copied; each broken piece becomes one U+FFFD, for the
// longest prefix that could have started a valid sequence.
TEST_F(XmlWriterTest, BytesThatAreNotUtf8OrNotXmlCharactersBecomeReplacementCharacters) {
  const std::string R = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> cases[] = {
      {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"\xc3", R},
      {"\xc3" "A", R + "A"},
      {"\xe2\x82", R},
      {"\xe2\x82" "A", R + "A"},
      {"\xc0\xaf", R + R},
      {"\xed\xa0\x80", R + R + R},
      {"\xf4\x90\x80\x80", R + R + R + R},
      {"\xef\xbf\xbe\xef\xbf\xbf\xef\xbf\xbd", R + R + R},
      {"\x80z", R + "z"},
      {std::string("a\0b", 3), "a" + R + "b"},
      {"\x0b\x0c\x1f\x7f", R + R + R + "\x7f"},
  };
  for (const auto& [input, output] : cases) {
    std::string text;
    EXPECT_EQ(expandChars(text, input, 0), output) << input;
  }
  std::string text;
  EXPECT_EQ(expandChars(text, "\t\n\r", 0), "&#9;&#10;&#13;");
}

}  // namespace
}  // namespace ko::core
