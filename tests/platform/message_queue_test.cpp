#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <nel/platform/message_queue.h>

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
    const int id = q.SetTimer(30, [&] { ++fired; });
    EXPECT_FALSE(q.HasInput()) << "a new timer is first due one period later";
    std::this_thread::sleep_for(milliseconds(40));
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

// The queue's own input takes one of the 64 slots a wait has: 63 events at most;
// a null event is refused.
TEST(MessageQueue, WaitTakesAtMost63EventsAndNoNull) {
  OnFreshThread([] {
    auto& q = MessageQueue::Current();
    std::vector<Event> events(64);
    std::vector<Event*> list;
    for (auto& e : events) list.push_back(&e);
    events[62].Set();
    EXPECT_EQ(q.WaitForEventsOrInput(list.data(), 64, 0), nel::platform::kWaitFailed);
    EXPECT_EQ(q.WaitForEventsOrInput(list.data(), 63, 0), 62);
    list[0] = nullptr;
    EXPECT_EQ(q.WaitForEventsOrInput(list.data(), 2, 0), nel::platform::kWaitFailed);
  });
}

// The limit is a deadline fixed when the wait starts: messages that keep
// arriving are dispatched (the queue stays alive) but never extend it. Each
// source stops by itself after 4 s, so a wait that restarts per batch shows as
// a wait of 5.5 s rather than hanging.
TEST(ReplyWait, DeadlineHoldsHoweverManyMessagesArrive) {
  enum Source { kTimer, kOtherThread, kHandlerRepost };
  for (const Source source : {kTimer, kOtherThread, kHandlerRepost}) {
    OnFreshThread([source] {
      auto& q = MessageQueue::Current();
      Event reply;
      const auto t0 = steady_clock::now();
      std::atomic<int> handled{0};
      int timer = 0;
      std::atomic<bool> stop{false};
      std::thread poster;
      q.SetHandler([&](const Message&) {
        ++handled;
        if (source == kHandlerRepost && ElapsedMs(t0) < 4000) q.Post({kMsgUser, 0, 0});
      });
      if (source == kTimer) {
        timer = q.SetTimer(2, [&] {
          ++handled;
          if (ElapsedMs(t0) >= 4000) q.KillTimer(timer);
        });
      } else if (source == kOtherThread) {
        poster = std::thread([&] {
          while (!stop && ElapsedMs(t0) < 4000) {
            q.Post({kMsgUser, 0, 0});
            std::this_thread::sleep_for(milliseconds(2));
          }
        });
      } else {
        q.Post({kMsgUser, 0, 0});
      }
      EXPECT_FALSE(WaitForReply(reply));
      const long ms = ElapsedMs(t0);
      stop = true;
      if (poster.joinable()) poster.join();
      q.KillTimer(timer);
      EXPECT_GE(ms, 1490) << "source " << source;
      EXPECT_LT(ms, 2200) << "source " << source << ": the wait was extended by the messages";
      EXPECT_GT(handled.load(), 50) << "source " << source << ": messages were dispatched during the wait";
    });
  }
}

TEST(ReplyWait, TellsHowTheWaitEnded) {
  OnFreshThread([] {
    auto& q = MessageQueue::Current();
    Event reply;
    reply.Set();
    EXPECT_EQ(WaitReply(reply, 100), ReplyWait::kReplied);
    reply.Reset();
    EXPECT_EQ(WaitReply(reply, 50), ReplyWait::kTimedOut);
    // A wait that has run out still dispatches the batch it found: 64 messages.
    int handled = 0;
    q.SetHandler([&](const Message&) { ++handled; });
    for (int i = 0; i < 70; ++i) q.Post({kMsgUser, 0, 0});
    EXPECT_EQ(WaitReply(reply, 0), ReplyWait::kTimedOut);
    EXPECT_EQ(handled, 64);
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
      EXPECT_EQ(WaitReply(reply, kReplyWaitMs), ReplyWait::kCloseRequest);
      EXPECT_LT(ElapsedMs(t0), 1000);
      EXPECT_EQ(handled, 1);  // the message before it was dispatched
      Message m;
      ASSERT_TRUE(q.Peek(m, false));
      EXPECT_EQ(m.id, id);
    });
  }
}

}  // namespace
