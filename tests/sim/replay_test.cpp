// The replaying unit's reading of a recorded stream: which chunk each pass
// had seen (what the lockstep holds back until the pass is made), and a
// stream it cannot read.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "sim/replay_server.h"

namespace {

using nel::sim::ReplayEvent;

ReplayEvent E(char kind, int64_t position, int32_t taken = 0) {
  ReplayEvent e;
  e.kind = kind;
  e.position = position;
  e.taken = taken;
  return e;
}

TEST(Replay, EachPassNeedsTheChunksItHadSeen) {
  const std::vector<ReplayEvent> events{
      E('C', 0),         // 0
      E('U', 40),        // 1
      E('U', 70),        // 2
      E('T', 70, 70),    // 3: took both chunks
      E('U', 100),       // 4: came in while the next pass looked
      E('T', 70, 0),     // 5: found nothing: had seen up to chunk 2
      E('H', 0),         // 6
      E('T', 100, 30),   // 7: took chunk 4
      E('C', 0),         // 8
      E('T', 0, 0),      // 9: nothing since the clear
      E('U', 300),       // 10
      E('U', 600),       // 11
      E('T', 512, 512),  // 12: at most 512 a pass: needed chunk 11
      E('T', 600, 88),   // 13
  };
  EXPECT_EQ(nel::sim::PassNeeds(events), (std::vector<long>{2, 2, 4, 8, 11, 11}));
}

TEST(Replay, AStreamCutShortIsRefused) {
  const std::string path = testing::TempDir() + "replay_test.nelraw";
  std::string data = "NELRAW1\n";
  data += std::string(20, '\0');
  data[8 + 8] = 'U';
  data[8 + 10] = 4;  // four bytes announced, two there
  data += "ab";
  std::ofstream(path, std::ios::binary) << data;
  std::vector<ReplayEvent> out;
  std::string error;
  EXPECT_FALSE(nel::sim::LoadReplay(path, out, &error));
  EXPECT_NE(error.find("record cut short at byte 8"), std::string::npos) << error;
  data.resize(8 + 20);
  data[8 + 10] = 0;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  ASSERT_TRUE(nel::sim::LoadReplay(path, out, &error)) << error;
  EXPECT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].kind, 'U');
}

}  // namespace
