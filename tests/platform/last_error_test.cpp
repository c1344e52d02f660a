// The per-thread failure reason: each thread sees its own, texts are cut, not
// overrun, and every code has its own text.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include <nel/platform/last_error.h>

namespace {

TEST(LastError, PerThreadCutAndDistinctTexts) {
  nel::ClearLastError();
  nel::SetLastError(nel::Result::kPortBusy, "COM3 is open in another program");
  std::thread other([] {
    EXPECT_EQ(nel::LastErrorCode(), nel::Result::kOk);
    nel::SetLastError(nel::Result::kTimeout, std::string(1000, 'x'));
    EXPECT_EQ(std::string(nel::LastErrorText()).size(), 255u);
  });
  other.join();
  EXPECT_EQ(nel::LastErrorCode(), nel::Result::kPortBusy);
  EXPECT_STREQ(nel::LastErrorText(), "COM3 is open in another program");
  nel::ClearLastError();
  EXPECT_STREQ(nel::LastErrorText(), "");

  std::set<std::string> texts;
  for (int c = 0; c <= static_cast<int>(nel::Result::kSafetyStop); ++c)
    texts.insert(nel::ResultText(static_cast<nel::Result>(c)));
  EXPECT_EQ(texts.size(), static_cast<size_t>(nel::Result::kSafetyStop) + 1);
  EXPECT_STREQ(nel::ResultText(static_cast<nel::Result>(99)), "unknown result");
}

}  // namespace
