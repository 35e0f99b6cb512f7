// Parsing the core reads with: the caller's text stays untouched, and no
// input nests the parser's recursion deeper than the bound, however it hides
// its markup.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

#include "config/xml_tree.h"

namespace ko::core {
namespace {

std::string nested(std::size_t levels) {
  std::string text = "<?xml?>";
  for (std::size_t i = 0; i < levels; ++i) text += "<a>";
  for (std::size_t i = 0; i < levels; ++i) text += "</a>";
  return text;
}

std::size_t treeDepth(const XmlNode& node) {
  std::size_t deepest = 0;
  for (const XmlNode* child = node.first_node(); child != nullptr; child = child->next_sibling()) {
    deepest = std::max(deepest, treeDepth(*child));
  }
  return node.type() == rapidxml::node_element ? deepest + 1 : deepest;
}

TEST(XmlParse, LeavesTheCallersTextUntouched) {
  const std::string original = "<?xml?><Kora><Memory Throttling=\"a&amp;b\">x&lt;y</Memory></Kora>";
  std::string text = original;
  const ParsedXml parsed(text);
  EXPECT_EQ(text, original);
  const XmlNode* memory = firstChildElement(*firstChildElement(parsed.document(), "Kora"), "Memory");
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(valueOf(*firstAttribute(*memory, "Throttling")), "a&b");
}

TEST(XmlParse, NestingAtTheBoundParsesAndOneDeeperIsRefused) {
  EXPECT_NO_THROW(ParsedXml{nested(MaxXmlNesting)});
  try {
    ParsedXml parsed(nested(MaxXmlNesting + 1));
    FAIL() << "accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Failed - xml nested deeper than 256 levels");
  }
}

TEST(XmlParse, MillionLevelsOfUnclosedNestingFailWithoutRecursing) {
  std::string text = "<?xml?>";
  for (int i = 0; i < 1000000; ++i) text += "<a x='>'>";
  EXPECT_THROW(ParsedXml{text}, std::runtime_error);
}

TEST(XmlParse, MarkupInsideCommentsCdataAndValuesDoesNotCount) {
  std::string hidden;
  for (int i = 0; i < 1000; ++i) hidden += "<a>";
  const std::string text = "<?xml?><r v='" + hidden + "'><!--" + hidden + "--><![CDATA[" + hidden + "]]><?pi " +
                           hidden + "?><!DOCTYPE d [" + hidden + "]></r>";
  EXPECT_EQ(xmlNestingDepth(text.c_str()), 1u);
  EXPECT_NO_THROW(ParsedXml{text});
}

TEST(XmlParse, ParseErrorCarriesTheParsersText) {
  try {
    ParsedXml parsed("<?xml?><Kora>");
    FAIL() << "accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "unexpected end of data");
  }
}

// Random texts from the characters that make up markup: whenever the parser
// accepts one, the nesting scan must not have counted less than the tree the
// parser built (less its leaves, which open no content).
TEST(XmlParse, NestingScanNeverUndercountsWhatTheParserBuilds) {
  static const char* const Pieces[] = {"<", ">", "/", "a", "\"", "'", "=", " ", "!", "-", "[", "]", "?",
                                       "<a>", "</a>", "<a/>", "<!--", "-->", "<![CDATA[", "]]>", "<?x", "?>",
                                       "<!DOCTYPE ", "<a b='", "<a\"b>", "</a\"b>", "<a<b>"};
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, std::size(Pieces) - 1);
  std::uniform_int_distribution<int> length(1, 40);
  int accepted = 0;
  for (int round = 0; round < 50000; ++round) {
    std::string text;
    for (int n = length(rng); n > 0; --n) text += Pieces[pick(rng)];
    try {
      const ParsedXml parsed(text);
      ++accepted;
      ASSERT_GE(xmlNestingDepth(text.c_str()) + 1, treeDepth(parsed.document())) << text;
    } catch (const std::runtime_error&) {
    }
  }
  EXPECT_GT(accepted, 100);
}

TEST(XmlParse, BinaryGarbageIsRefusedOrParsedNeverCrashes) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int round = 0; round < 2000; ++round) {
    std::string text = "<?xml?><";
    for (int i = 0; i < 300; ++i) text.push_back(static_cast<char>(byte(rng)));
    try {
      ParsedXml parsed(text);
    } catch (const std::runtime_error&) {
    }
  }
}

}  // namespace
}  // namespace ko::core
