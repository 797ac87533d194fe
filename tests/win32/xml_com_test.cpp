// GetXmlElementText through the real COM path: MSXML 3.0 on Windows, or
// Wine's built-in msxml3. Prints "N passed, M failed"; nonzero exit on any
// failure.
#include <objbase.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "xml_answer_cases.h"
#include "xml_element_text.h"

namespace {

int passed = 0;
int failed = 0;

void Check(bool ok, const char *what, const std::string &detail = "") {
  if (ok) {
    ++passed;
    return;
  }
  ++failed;
  std::printf("FAIL: %s %s\n", what, detail.c_str());
}

void ExpectText(const std::string &xml, const char *name, const std::string &expected,
                const char *what) {
  obkey::XmlValue value = obkey::GetXmlElementText(xml.c_str(), name);
  std::string text(value.data());
  Check(text == expected, what,
        "got \"" + text.substr(0, 40) + "\" (" + std::to_string(text.size()) + " bytes)");
  Check(value.back() == '\0', what, "unterminated buffer");
}

void DocumentModel() {
  for (const auto &c : obkey_test::kXmlAnswerCases) ExpectText(c.xml, c.name, c.expected, c.what);
  // Cases of the COM path beyond the shared document model.
  const obkey_test::XmlAnswerCase cases[] = {
      {"descendants' text", "<root><a>x<i>y</i>z</a></root>", "a", "xyz"},
      // Bytes of the ANSI code page go in and come back unchanged (GBK "ni hao").
      {"ANSI text", "<root><a>\xC4\xE3\xBA\xC3</a></root>", "a", "\xC4\xE3\xBA\xC3"},
      {"declaration, no encoding", "<?xml version=\"1.0\"?><root><a>kept</a></root>", "a", "kept"},
  };
  for (const auto &c : cases) ExpectText(c.xml, c.name, c.expected, c.what);
}

void LongValues() {
  for (size_t len : {size_t{4095}, size_t{4096}, size_t{5000}}) {
    std::string text(len, 'v');
    text.back() = 'e';
    std::string what = "value of " + std::to_string(len) + " bytes";
    ExpectText("<root><long>" + text + "</long></root>", "long", text.substr(0, 4095),
               what.c_str());
  }
}

template <typename Body>
DWORD WINAPI RunBody(void *body) {
  (*static_cast<Body *>(body))();
  return 0;
}

// Runs `body` on a thread of its own, so that its COM state starts empty.
template <typename Body>
void OnNewThread(Body body) {
  HANDLE thread = CreateThread(nullptr, 0, RunBody<Body>, &body, 0, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

void Apartments() {
  const std::string xml = "<root><a>xyz</a></root>";
  OnNewThread([&] {
    HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Check(SUCCEEDED(joined), "entering the multithreaded apartment");
    ExpectText(xml, "a", "-1", "multithreaded apartment");
    if (SUCCEEDED(joined)) CoUninitialize();
  });
  OnNewThread([&] {
    for (int i = 0; i < 6; ++i) ExpectText(xml, "a", "xyz", "six lookups on a fresh thread");
    // Every lookup undid its own CoInitialize: the thread is uninitialised
    // again, so this one is the first (S_OK, not S_FALSE).
    HRESULT again = CoInitialize(nullptr);
    Check(again == S_OK, "apartment released after the lookups",
          "CoInitialize gave " + std::to_string(static_cast<long>(again)));
    if (SUCCEEDED(again)) CoUninitialize();
  });
  OnNewThread([&] {
    // A caller that is already in a single-threaded apartment (S_FALSE inside).
    HRESULT own = CoInitialize(nullptr);
    ExpectText(xml, "a", "xyz", "caller already in an apartment");
    Check(CoInitialize(nullptr) == S_FALSE, "caller's apartment kept");
    CoUninitialize();
    if (SUCCEEDED(own)) CoUninitialize();
  });
}

}  // namespace

int main() {
  DocumentModel();
  LongValues();
  Apartments();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
