// SPDX-License-Identifier: MIT
// Comparing binary data in tests without printing it: sizes and the first
// byte that differs.
#pragma once

#include <gtest/gtest.h>

#include <string>

inline testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected) {
  size_t common = actual.size() < expected.size() ? actual.size() : expected.size();
  size_t at = 0;
  while (at < common && actual[at] == expected[at]) ++at;
  if (at == common && actual.size() == expected.size()) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure();
  failure << actual.size() << " bytes where " << expected.size() << " were expected";
  if (at < common)
    failure << "; first difference at byte " << at << " (" << (static_cast<unsigned>(actual[at]) & 0xFF)
            << " instead of " << (static_cast<unsigned>(expected[at]) & 0xFF) << ")";
  return failure;
}
