// The host thread's message queue, and the reply wait built on it.
//
// Each thread has one queue, created at its first use (MessageQueue::Current)
// and destroyed when the thread ends. Any thread may Post to a queue it holds a
// reference to; everything else (timers, peeking, dispatching, the waits) is
// for the owning thread only.
//
// A host runs its periodic sample processing from a timer of this queue. While
// a device command waits for its reply (WaitForReply), the waiting thread keeps
// dispatching its queue, so that timer keeps unpacking received bytes and the
// reply is recognised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include <nel/export.h>
#include <nel/platform/event.h>

namespace nel::platform {

inline constexpr uint32_t kMsgClose = 0x0010;  // close request
inline constexpr uint32_t kMsgQuit = 0x0012;   // quit request
inline constexpr uint32_t kMsgTimer = 0x0113;  // a timer is due; wParam = timer id
inline constexpr uint32_t kMsgUser = 0x0400;   // first id free for a host's own messages

inline constexpr int kReplyWaitMs = 1500;

struct Message {
  uint32_t id = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

class NEL_API MessageQueue {
 public:
  using TimerCallback = std::function<void()>;
  using Handler = std::function<void(const Message&)>;

  // The calling thread's queue.
  static MessageQueue& Current();

  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  // Any thread.
  void Post(const Message& m);
  void PostQuit(int exitCode) { Post({kMsgQuit, static_cast<uintptr_t>(exitCode), 0}); }
  void PostClose() { Post({kMsgClose, 0, 0}); }

  // Owner thread only. A periodic timer; its message is generated when due and
  // no posted message is waiting (timers have the lowest priority), at most one
  // pending message per timer; the period restarts when that message is removed.
  // Returns the timer id (> 0). Periods below 1 ms count as 1 ms.
  int SetTimer(int periodMs, TimerCallback callback);
  bool KillTimer(int id);

  // Receives every dispatched message that is not a timer message.
  void SetHandler(Handler handler);

  // Looks at the first message (posted messages first, then due timers); with
  // remove it is taken out of the queue.
  bool Peek(Message& out, bool remove);
  bool HasInput();
  // Blocks until a message arrives and removes it; false for a quit message.
  bool Get(Message& out);
  // Timer messages run their timer's callback; the others go to the handler.
  void Dispatch(const Message& m);
  // Gets and dispatches until a quit message; returns its exit code.
  int Run();

  // Waits until one of `count` events is signalled (returns its index) or input
  // is available (returns `count`); kWaitTimeout when the time ran out,
  // kWaitFailed on a bad argument. `count` may be 0 (wait for input only).
  int WaitForEventsOrInput(Event* const* events, size_t count, int timeoutMs);

 private:
  MessageQueue();
  ~MessageQueue();
  friend struct QueueHolder;

  struct Timer {
    int periodMs;
    int64_t nextDueMs;
    TimerCallback callback;
  };
  bool PeekLocked(Message& out, bool remove, int64_t nowMs);
  int64_t NextTimerDueMs();  // INT64_MAX without timers

  std::mutex mutex_;
  std::deque<Message> posted_;
  Event postedEvent_;  // signalled while posted_ is not empty
  std::map<int, Timer> timers_;
  int nextTimerId_ = 1;
  Handler handler_;
};

// How a reply wait ended.
enum class ReplyWait {
  kReplied,       // `reply` was signalled
  kTimedOut,      // the time ran out
  kCloseRequest,  // a close or quit request waits in the queue (it stays there)
  kFailed,        // the wait itself failed
};

// Waits for `reply` while dispatching the calling thread's queue, so that the host's processing timer can unpack
// the reply. See docs/decisions.md, "Reply wait deadline".
NEL_API ReplyWait WaitReply(Event& reply, int timeoutMs = kReplyWaitMs);
// WaitReply as a yes/no: true only when `reply` was signalled in time.
NEL_API bool WaitForReply(Event& reply, int timeoutMs = kReplyWaitMs);

}  // namespace nel::platform
