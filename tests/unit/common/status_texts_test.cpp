// The installed status texts against every list of statuses: the X-lists
// of the status headers, the status constants of the interface header and
// the status tables of the READMEs. Each status any of them names has its
// name and a text in obkey_status.h, and each table names every status of
// its library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "obkey_types.h"
#include "p11token_status.h"
//
#include "obkey_status.h"

namespace {

struct Listed {
  std::string name;
  int32_t value;
  std::string text;
};

#define LISTED(name, value, text) {#name, static_cast<int32_t>(value), text},
const std::map<std::string, std::vector<Listed>> kLists = {
    {"obkey", {OBKEY_OWN_STATUS_LIST(LISTED)}},
    {"softtoken", {XCST_STATUS_LIST(LISTED)}},
    {"p11token", {P11ST_STATUS_LIST(LISTED)}},
    {"enrollsim", {VEST_STATUS_LIST(LISTED)}},
};
#undef LISTED

std::string SourceFile(const std::string &path) {
  const char *root = std::getenv("OBKEY_SOURCE_DIR");
  std::ifstream in(std::string(root != nullptr ? root : ".") + "/" + path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Describe(int32_t status) {
  std::ostringstream out;
  out << "0x" << std::hex << static_cast<uint32_t>(status);
  return out.str();
}

TEST(StatusTexts, EveryHeaderListIsNamedAndDescribed) {
  size_t checked = 0;
  for (const auto &[library, statuses] : kLists) {
    for (const Listed &listed : statuses) {
      SCOPED_TRACE(library + " " + listed.name);
      const char *name = obkey_status_name(listed.value);
      const char *text = obkey_status_text(listed.value);
      ASSERT_NE(name, nullptr);
      ASSERT_NE(text, nullptr);
      EXPECT_NE(std::string(text), "");
      // p11token reports the software token's failures by the software
      // token's value: that one name serves both.
      if (library == "p11token" && std::string(name).rfind("XCST_", 0) == 0) {
        EXPECT_EQ("P11ST_" + std::string(name).substr(5), listed.name);
      } else {
        EXPECT_EQ(name, listed.name);
        EXPECT_EQ(text, listed.text);
      }
      ++checked;
    }
  }
  EXPECT_STREQ(obkey_status_name(0), "OK");
  EXPECT_STREQ(obkey_status_name(static_cast<int32_t>(P11ST_CKR_BASE + 0xA0)), "P11ST_CKR");
  EXPECT_STREQ(obkey_status_name(static_cast<int32_t>(P11ST_CKR_VENDOR_BASE + 1)),
               "P11ST_CKR_VENDOR");
  EXPECT_EQ(obkey_status_name(0x12345678), nullptr);
  EXPECT_EQ(obkey_status_text(2), nullptr);
  EXPECT_GT(checked, 80u);
}

// Every failure constant of the interface header is in the installed table
// (their values are checked where the table is compiled into obkeyctl).
TEST(StatusTexts, EveryInterfaceConstantIsInTheTable) {
  const std::string header = SourceFile("include/obkey/obkey_types.h");
  const size_t from = header.find("---- statuses ----");
  const size_t to = header.find("---- selectors");
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  std::set<std::string> own;
  for (const Listed &listed : kLists.at("obkey")) own.insert(listed.name);
  const std::regex define(R"(#define ([A-Z0-9_]+) )");
  const std::string statuses = header.substr(from, to - from);
  size_t found = 0;
  for (std::sregex_iterator it(statuses.begin(), statuses.end(), define), end; it != end; ++it) {
    const std::string name = (*it)[1];
    if (name == "OB_OK" || name == "OB_PVK_ENABLED") continue;  // no failures
    EXPECT_EQ(own.count(name), 1u) << name << " has no text in obkey_status.h";
    ++found;
  }
  EXPECT_EQ(found, own.size());
}

// The status tables of the READMEs (value and name, in either order of
// columns) agree with the installed table and leave none of their
// library's statuses out.
TEST(StatusTexts, EveryReadmeTableAgreesWithTheTable) {
  const struct {
    const char *readme;
    const char *library;
  } documents[] = {{"softtoken/README.md", "softtoken"},
                   {"p11token/README.md", "p11token"},
                   {"enrollsim/README.md", "enrollsim"}};
  const std::regex value_first(R"(^\| (0x[0-9A-Fa-fx]{8}) \| `([A-Z0-9_]+)` \|)");
  const std::regex name_first(R"(^\| `([A-Z0-9_]+)` \| (0x[0-9A-Fa-fx]{8}) \|)");
  for (const auto &document : documents) {
    SCOPED_TRACE(document.readme);
    std::istringstream lines(SourceFile(document.readme));
    std::set<std::string> rows;
    for (std::string line; std::getline(lines, line);) {
      std::smatch match;
      std::string name, value;
      if (std::regex_search(line, match, value_first)) {
        value = match[1], name = match[2];
      } else if (std::regex_search(line, match, name_first)) {
        name = match[1], value = match[2];
      } else {
        continue;
      }
      // A range such as 0x5032xxxx: any value in it.
      std::replace(value.begin() + 2, value.end(), 'x', '1');
      const int32_t status = static_cast<int32_t>(std::strtoul(value.c_str(), nullptr, 16));
      const char *known = obkey_status_name(status);
      EXPECT_NE(known, nullptr) << value << " " << name;
      if (known != nullptr) {
        EXPECT_EQ(name, known) << Describe(status);
      }
      rows.insert(name);
    }
    for (const Listed &listed : kLists.at(document.library)) {
      const std::string name = obkey_status_name(listed.value);
      // p11token's table lists its own statuses; the shared ones are the
      // software token's.
      if (std::string(document.library) == "p11token" && name.rfind("XCST_", 0) == 0) continue;
      EXPECT_EQ(rows.count(name), 1u) << name << " is not in " << document.readme;
    }
  }
}

}  // namespace
