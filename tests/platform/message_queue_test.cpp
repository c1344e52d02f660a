#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/message_queue.h"

using namespace nel::platform;
using namespace std::chrono;

namespace {

// Each test runs on a thread of its own so that it starts with an empty queue.
template <class F>
void OnFreshThread(F f) {
  std::thread t(f);
  t.join();
}

long ElapsedMs(steady_clock::time_point t0) {
  return static_cast<long>(duration_cast<milliseconds>(steady_clock::now() - t0).count());
}

TEST(MessageQueue, PostedMessagesComeFirstInOrderThenTimers) {
  OnFreshThread([] {
    auto& q = MessageQueue::Current();
    int fired = 0;
    const int id = q.SetTimer(1, [&] { ++fired; });
    std::this_thread::sleep_for(milliseconds(5));
    q.Post({kMsgUser, 1, 0});
    q.Post({kMsgUser, 2, 0});
    Message m;
    ASSERT_TRUE(q.Peek(m, true));
    EXPECT_EQ(m.wParam, 1u);
    ASSERT_TRUE(q.Peek(m, true));
    EXPECT_EQ(m.wParam, 2u);
    ASSERT_TRUE(q.Peek(m, true));
    EXPECT_EQ(m.id, kMsgTimer);
    EXPECT_EQ(m.wParam, static_cast<uintptr_t>(id));
    q.Dispatch(m);
    EXPECT_EQ(fired, 1);
    EXPECT_TRUE(q.KillTimer(id));
    EXPECT_FALSE(q.KillTimer(id));
  });
}

TEST(MessageQueue, RunDispatchesUntilQuit) {
  OnFreshThread([] {
    auto& q = MessageQueue::Current();
    int ticks = 0;
    int handled = 0;
    q.SetHandler([&](const Message& m) {
      if (m.id == kMsgUser) ++handled;
    });
    q.SetTimer(5, [&] {
      if (++ticks == 3) q.PostQuit(7);
    });
    q.Post({kMsgUser, 0, 0});
    EXPECT_EQ(q.Run(), 7);
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(handled, 1);
  });
}

TEST(MessageQueue, PostFromAnotherThreadWakesTheOwner) {
  OnFreshThread([] {
    auto& q = MessageQueue::Current();
    std::thread poster([&q] {
      std::this_thread::sleep_for(milliseconds(20));
      q.Post({kMsgUser + 5, 0, 0});
    });
    const int r = q.WaitForEventsOrInput(nullptr, 0, 5000);
    EXPECT_EQ(r, 0);  // input, index == count
    Message m;
    ASSERT_TRUE(q.Peek(m, true));
    EXPECT_EQ(m.id, kMsgUser + 5);
    poster.join();
  });
}

TEST(ReplyWait, EventBeforeTimeoutReturnsTrueAtOnce) {
  OnFreshThread([] {
    Event reply;
    std::thread t([&] {
      std::this_thread::sleep_for(milliseconds(50));
      reply.Set();
    });
    const auto t0 = steady_clock::now();
    EXPECT_TRUE(WaitForReply(reply));
    EXPECT_LT(ElapsedMs(t0), 1000);
    t.join();
  });
}

TEST(ReplyWait, TimesOutAfterAbout1500Ms) {
  OnFreshThread([] {
    Event reply;
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(WaitForReply(reply));
    const long ms = ElapsedMs(t0);
    EXPECT_GE(ms, 1500);
    EXPECT_LT(ms, 2500);
  });
}

TEST(ReplyWait, DispatchedMessagesRestartTheTimeout) {
  OnFreshThread([] {
    auto& q = MessageQueue::Current();
    Event reply;
    // A message posted 1000 ms into the wait is dispatched, and the wait then
    // runs another full 1500 ms: about 2500 ms in all.
    int handled = 0;
    q.SetHandler([&](const Message&) { ++handled; });
    std::thread poster([&q] {
      std::this_thread::sleep_for(milliseconds(1000));
      q.Post({kMsgUser, 0, 0});
    });
    const auto t0 = steady_clock::now();
    EXPECT_FALSE(WaitForReply(reply));
    const long ms = ElapsedMs(t0);
    poster.join();
    EXPECT_EQ(handled, 1);
    EXPECT_GE(ms, 2450);
    EXPECT_LT(ms, 3800);
  });
}

TEST(ReplyWait, TimerDispatchedDuringTheWaitCanDeliverTheReply) {
  OnFreshThread([] {
    auto& q = MessageQueue::Current();
    Event reply;
    int ticks = 0;
    // The host's periodic processing runs from a timer; the third pass
    // "unpacks" the reply.
    q.SetTimer(10, [&] {
      if (++ticks == 3) reply.Set();
    });
    EXPECT_TRUE(WaitForReply(reply));
    EXPECT_EQ(ticks, 3);
  });
}

TEST(ReplyWait, CloseOrQuitEndsTheWaitAndStaysQueued) {
  for (uint32_t id : {kMsgClose, kMsgQuit}) {
    OnFreshThread([id] {
      auto& q = MessageQueue::Current();
      Event reply;
      int handled = 0;
      q.SetHandler([&](const Message&) { ++handled; });
      q.Post({kMsgUser, 0, 0});
      q.Post({id, 0, 0});
      const auto t0 = steady_clock::now();
      EXPECT_FALSE(WaitForReply(reply));
      EXPECT_LT(ElapsedMs(t0), 1000);
      EXPECT_EQ(handled, 1);  // the message before it was dispatched
      Message m;
      ASSERT_TRUE(q.Peek(m, false));
      EXPECT_EQ(m.id, id);
    });
  }
}

}  // namespace
