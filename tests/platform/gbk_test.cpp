// Code page 936 text both ways; the same cases for every system's converter.
#include <gtest/gtest.h>

#include <string>

#include "platform/gbk.h"

using namespace nel::platform;

namespace {

struct GbkCase {
  const char* name;
  std::string utf8;
  std::string gbk;
  bool roundTrip;  // the GBK bytes read back give the UTF-8 text
};

const GbkCase kCases[] = {
    {"ascii", "plain ascii", "plain ascii", true},
    {"system text", "压力校准失败!\n", "\xD1\xB9\xC1\xA6\xD0\xA3\xD7\xBC\xCA\xA7\xB0\xDC!\n", true},
    {"mixed", "BED1 端口", "BED1 \xB6\xCB\xBF\xDA", true},
    {"invalid byte", std::string("a\xFF") + "b", "a?b", false},
    {"cut short", std::string("x\xE5\x8E", 3), "x?", false},
    {"surrogate", std::string("\xED\xA0\x80") + "z", "?z", false},
    // Hangul has no form in code page 936; no look-alike may take its place.
    {"no gbk form", "[\xEA\xB0\x80]", "[?]", false},
};

TEST(Gbk, Utf8BecomesCodePage936BytesInvalidOrForeignTextMarked) {
  for (const GbkCase& c : kCases) EXPECT_EQ(Utf8ToGbk(c.utf8), c.gbk) << c.name;
}

TEST(Gbk, CodePage936BytesReadBackAsUtf8) {
  for (const GbkCase& c : kCases) {
    if (c.roundTrip) {
      EXPECT_EQ(GbkToUtf8(c.gbk), c.utf8) << c.name;
    }
  }
  EXPECT_EQ(GbkToUtf8(""), "");
}

// A byte that starts no GBK character is marked, and the text after it kept.
TEST(Gbk, BytesThatAreNotGbkDoNotSwallowTheRest) {
  const std::string out = GbkToUtf8(std::string("ok\xFF") + "tail");
  EXPECT_EQ(out.substr(0, 2), "ok");
  EXPECT_EQ(out.substr(out.size() - 4), "tail");
  EXPECT_GT(out.size(), 6u) << "the bad byte left no mark";
  EXPECT_EQ(out.find('\xFF'), std::string::npos) << "the bad byte passed through as it was";
}

}  // namespace
