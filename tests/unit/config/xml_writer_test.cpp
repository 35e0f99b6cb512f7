// The XML writer: exact output for the shapes the core prints, and for random
// trees of every node kind that measuring and printing agree byte for byte.
#include <gtest/gtest.h>

#include <random>
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
  std::string randomText(std::size_t maxLength) {
    static constexpr char Alphabet[] = "ab<>&'\"\t\n \x01\xff";
    std::uniform_int_distribution<std::size_t> length(0, maxLength);
    std::uniform_int_distribution<std::size_t> pick(0, sizeof Alphabet - 2);
    std::string text(length(rng_), ' ');
    for (char& c : text) c = Alphabet[pick(rng_)];
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

TEST_F(XmlWriterProperty, PrintedAttributeValuesParseBackUnchanged) {
  for (int round = 0; round < 300; ++round) {
    doc_.clear();
    XmlNode* e = appendElement(doc_, doc_, "E");
    const std::string value = randomText(20);
    appendAttribute(doc_, *e, "V", value);
    std::string text;
    printXml(text, doc_, XmlPrintNoIndent, 0);
    const ParsedXml parsed(text);
    const XmlNode* back = firstChildElement(parsed.document(), "E");
    ASSERT_NE(back, nullptr) << text;
    const XmlAttribute* attribute = firstAttribute(*back, "V");
    ASSERT_NE(attribute, nullptr) << text;
    ASSERT_EQ(valueOf(*attribute), value) << text;
  }
}

}  // namespace
}  // namespace ko::core
