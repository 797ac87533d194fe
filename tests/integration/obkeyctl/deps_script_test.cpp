// scripts/deps.sh installs per need: which packages each need takes, asked
// through its dry run, so that no package is removed to find out.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "shell_run.h"

namespace {

struct DryRun {
  int exit_status;
  std::set<std::string> packages;  // "have" and "install" alike
  std::string steps;
};

DryRun Ask(const std::string &needs) {
  obkey_test::ShellResult result =
      obkey_test::RunShell(".", std::string("bash ") + OBKEY_DEPS_SCRIPT + " --dry-run " + needs);
  DryRun run{result.exit_status, {}, ""};
  std::istringstream lines(result.out);
  for (std::string kind, rest; lines >> kind && std::getline(lines >> std::ws, rest);) {
    if (kind == "have" || kind == "install") {
      run.packages.insert(rest);
    } else {
      run.steps += kind + " " + rest + "\n";
    }
  }
  return run;
}

TEST(DepsScript, EachNeedTakesItsOwnPackages) {
  struct Case {
    const char *needs;
    std::set<std::string> with;
    std::set<std::string> without;
  };
  const std::set<std::string> windows_and_tests = {
      "wine", "wine32:i386", "g++-mingw-w64-i686", "libgtest-dev", "clang", "softhsm2"};
  const Case cases[] = {
      {"build", {"cmake", "libssl-dev", "openssl", "libxml2-dev"}, windows_and_tests},
      {"pkcs11",
       {"cmake", "softhsm2", "opensc"},
       {"wine", "g++-mingw-w64-i686", "libgtest-dev", "clang"}},
      {"test", windows_and_tests, {}},
      {"", windows_and_tests, {}},
      {"build test", {"cmake", "wine64"}, {}},
  };
  for (const Case &c : cases) {
    DryRun run = Ask(c.needs);
    EXPECT_EQ(run.exit_status, 0) << c.needs;
    for (const std::string &name : c.with)
      EXPECT_EQ(run.packages.count(name), 1u) << c.needs << " " << name;
    for (const std::string &name : c.without)
      EXPECT_EQ(run.packages.count(name), 0u) << c.needs << " " << name;
  }
  EXPECT_EQ(Ask("build").steps.find("i386"), std::string::npos);
  EXPECT_EQ(Ask("frob").exit_status, 2);
}

}  // namespace
