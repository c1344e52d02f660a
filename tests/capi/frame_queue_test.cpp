// The C interface's frame queue: order and indices across the ring's end,
// the oldest frames dropped and counted when the host is behind, and the
// descriptor readable while frames wait and cleared by a read that finds none.
#include <poll.h>

#include <gtest/gtest.h>

#include <vector>

#include "frame_queue.h"

namespace {

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

TEST(FrameQueue, KeepsOrderDropsTheOldestAndSignalsWhileFramesWait) {
  nel::capi::FrameQueue q(4);
  const float waves[6 * 2] = {0, 0.5f, 1, 1.5f, 2, 2.5f, 3, 3.5f, 4, 4.5f, 5, 5.5f};
  const float pressures[6] = {10, 11, 12, 13, 14, 15};
  std::vector<nel_frame> out(8);
  EXPECT_FALSE(Readable(q.Descriptor()));

  q.Push(waves, pressures, 3, 2, 1);  // frames 0..2
  EXPECT_TRUE(Readable(q.Descriptor()));
  ASSERT_EQ(q.Read(out.data(), 2), 2u);
  q.Push(waves + 6, pressures + 3, 3, 2, 1);  // frames 3..5 past the ring's end; none dropped
  q.Push(waves, pressures, 2, 2, 1);          // frames 6, 7: 2 and 3 dropped
  EXPECT_EQ(q.Dropped(), 2u);
  EXPECT_EQ(q.Taken(), 8u);
  ASSERT_EQ(q.Read(out.data(), out.size()), 4u);
  const struct {
    uint64_t index;
    float wave1, pressure;
  } want[] = {{4, 4.5f, 14}, {5, 5.5f, 15}, {6, 0.5f, 10}, {7, 1.5f, 11}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(out[i].index, want[i].index);
    EXPECT_EQ(out[i].wave[1], want[i].wave1) << "frame " << want[i].index;
    EXPECT_EQ(out[i].pressure[0], want[i].pressure) << "frame " << want[i].index;
    EXPECT_EQ(out[i].pressure[1], 0.0f) << "beyond the cuff count";
  }

  ASSERT_EQ(q.Read(out.data(), out.size()), 0u);
  EXPECT_FALSE(Readable(q.Descriptor())) << "a read that found nothing clears it";
  q.Push(waves, pressures, 1, 2, 1);
  EXPECT_TRUE(Readable(q.Descriptor()));
  EXPECT_TRUE(q.Wait(0));
}

}  // namespace
