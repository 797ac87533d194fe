// The document model that every platform's XML access must give, as cases
// shared by the Linux tests and the Windows test of the COM path: root
// first, children of root only, the first of several.
#ifndef OBKEY_TESTS_SUPPORT_XML_ANSWER_CASES_H
#define OBKEY_TESTS_SUPPORT_XML_ANSWER_CASES_H

namespace obkey_test {

struct XmlAnswerCase {
  const char *what;
  const char *xml;
  const char *name;
  const char *expected;
};

inline constexpr XmlAnswerCase kXmlAnswerCases[] = {
    {"one child", "<root><a>xyz</a></root>", "a", "xyz"},
    {"first of two", "<root><a>first</a><b>other</b><a>second</a></root>", "a", "first"},
    {"only deeper down", "<root><b><a>deep</a></b></root>", "a", ""},
    {"child past a deeper one", "<root><b><a>deep</a></b><a>near</a></root>", "a", "near"},
    {"no such child", "<root><a>xyz</a></root>", "c", ""},
    {"surrounding white space", "<root><a>\n  MIIB\n  AQAB\n</a></root>", "a", "MIIB\n  AQAB"},
    {"declaration before root",
     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root><a>kept</a></root>", "a", "kept"},
    {"comment before root", "<!-- answer --><root><a>xyz</a></root>", "a", ""},
    {"declaration then comment", "<?xml version=\"1.0\"?><!--c--><root><a>xyz</a></root>", "a", ""},
    {"instruction before root", "<?style x?><root><a>xyz</a></root>", "a", ""},
    {"document element not root", "<answer><a>xyz</a></answer>", "a", ""},
    {"does not parse", "<root><a>xyz</a>", "a", ""},
    {"empty text", "", "a", ""},
};

}  // namespace obkey_test

#endif  // OBKEY_TESTS_SUPPORT_XML_ANSWER_CASES_H
