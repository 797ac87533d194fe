// FakeTokenTest: the fixture of obkey's tests over the recording fake token:
// the fake's queues and trace cleared before each test, and a private
// configuration naming device 7 (env_).
#ifndef OBKEY_TESTS_FAKE_FAKE_TOKEN_TEST_H
#define OBKEY_TESTS_FAKE_FAKE_TOKEN_TEST_H

#include <gtest/gtest.h>

#include "fake_token.h"
#include "token_test_env.h"

namespace obkey_test {

class FakeTokenTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  TokenTestEnv env_{"XCSP_KEY_7"};
};

}  // namespace obkey_test

#endif  // OBKEY_TESTS_FAKE_FAKE_TOKEN_TEST_H
