// GetXmlElementText: the document model (root first, children only, first
// of several), the values that stand for failures, and the 4096-byte result.
#include "xml_element_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "xml_answer_cases.h"

namespace {

using obkey::GetXmlElementText;
using obkey::XML_VALUE_CAPACITY;
using obkey::XmlValue;

std::string TextOf(const XmlValue &value) {
  return std::string(value.data());
}

// Everything behind the text is zero, up to the end of the buffer.
bool ZeroFilledAfterText(const XmlValue &value) {
  size_t len = std::char_traits<char>::length(value.data());
  return std::all_of(value.begin() + len, value.end(), [](char c) { return c == '\0'; });
}

TEST(GetXmlElementTextTest, DocumentModel) {
  auto expect = [](const obkey_test::XmlAnswerCase &c) {
    XmlValue value = GetXmlElementText(c.xml, c.name);
    EXPECT_EQ(TextOf(value), c.expected) << c.what;
    EXPECT_TRUE(ZeroFilledAfterText(value)) << c.what;
  };
  for (const auto &c : obkey_test::kXmlAnswerCases) expect(c);
  // Cases of this platform beyond the shared document model.
  const obkey_test::XmlAnswerCase cases[] = {
      {"descendants' text", "<root><a>x<i>y</i><!-- no -->z</a></root>", "a", "xyz"},
      {"entities and CDATA", "<root><a>&lt;&amp;<![CDATA[<b>]]></a></root>", "a", "<&<b>"},
      {"empty element", "<root><a/></root>", "a", ""},
      {"document type before root", "<!DOCTYPE root><root><a>xyz</a></root>", "a", ""},
      {"comment after root", "<root><a>xyz</a></root><!-- end -->", "a", "xyz"},
      {"root only deeper down", "<answer><root><a>xyz</a></root></answer>", "a", ""},
      {"not XML", "certKmcReq1=xyz", "certKmcReq1", ""},
  };
  for (const auto &c : cases) expect(c);
}

TEST(GetXmlElementTextTest, ElementOrderInsideRootDoesNotMatter) {
  const char *const names[] = {"certKmcReq1", "certKmcReq2", "certKmcReq3",
                               "certKmcRep1", "certKmcRep2", "certKmcRep3"};
  const std::string forward =
      "<root><certKmcReq1>v0</certKmcReq1><certKmcReq2>v1</certKmcReq2>"
      "<certKmcReq3>v2</certKmcReq3><certKmcRep1>v3</certKmcRep1>"
      "<certKmcRep2>v4</certKmcRep2><certKmcRep3>v5</certKmcRep3></root>";
  const std::string shuffled =
      "<root><certKmcRep3>v5</certKmcRep3><certKmcReq2>v1</certKmcReq2>"
      "<certKmcRep1>v3</certKmcRep1><certKmcReq1>v0</certKmcReq1>"
      "<certKmcRep2>v4</certKmcRep2><certKmcReq3>v2</certKmcReq3></root>";
  for (int i = 0; i < 6; ++i) {
    std::string expected = "v" + std::to_string(i);
    EXPECT_EQ(TextOf(GetXmlElementText(forward.c_str(), names[i])), expected);
    EXPECT_EQ(TextOf(GetXmlElementText(shuffled.c_str(), names[i])), expected);
  }
}

TEST(GetXmlElementTextTest, LongValuesAreCutTo4095Bytes) {
  for (size_t len : {size_t{4094}, size_t{4095}, size_t{4096}, size_t{5000}}) {
    std::string text(len, 'v');
    text.back() = 'e';  // shows whether the end survived
    std::string xml = "<root><long>" + text + "</long></root>";
    XmlValue value = GetXmlElementText(xml.c_str(), "long");
    EXPECT_EQ(TextOf(value), text.substr(0, XML_VALUE_CAPACITY - 1)) << len;
    EXPECT_EQ(value.back(), '\0') << len;
  }
}

TEST(GetXmlElementTextTest, NullArgumentsGiveTheEmptyText) {
  EXPECT_EQ(TextOf(GetXmlElementText(nullptr, "a")), "");
  EXPECT_EQ(TextOf(GetXmlElementText("<root><a>x</a></root>", nullptr)), "");
}

}  // namespace
