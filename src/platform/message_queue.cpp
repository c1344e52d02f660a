#include <nel/platform/message_queue.h>

#if !defined(_WIN32)
#include <poll.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "platform/wait_clock.h"

namespace nel::platform {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// How long a wait may block: until the deadline, or until the next timer is
// due (`nextDue`, INT64_MAX without timers) when that comes first; -1 for ever.
int WaitUntilDue(const Deadline& deadline, int64_t nextDue) {
  int wait = deadline.RemainingMs();
  if (nextDue != INT64_MAX) {
    const int64_t untilDue = std::max<int64_t>(0, nextDue - NowMs());
    if (wait < 0 || untilDue < wait) wait = static_cast<int>(untilDue);
  }
  return wait;
}

}  // namespace

struct QueueHolder {
  MessageQueue queue;
};

MessageQueue& MessageQueue::Current() {
  thread_local QueueHolder holder;
  return holder.queue;
}

MessageQueue::MessageQueue() = default;
MessageQueue::~MessageQueue() = default;

void MessageQueue::Post(const Message& m) {
  std::lock_guard lock(mutex_);
  posted_.push_back(m);
  postedEvent_.Set();
}

int MessageQueue::SetTimer(int periodMs, TimerCallback callback) {
  std::lock_guard lock(mutex_);
  const int period = std::max(periodMs, 1);
  const int id = nextTimerId_++;
  timers_[id] = Timer{period, NowMs() + period, std::move(callback)};
  return id;
}

bool MessageQueue::KillTimer(int id) {
  std::lock_guard lock(mutex_);
  return timers_.erase(id) > 0;
}

void MessageQueue::SetHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

bool MessageQueue::PeekLocked(Message& out, bool remove, int64_t nowMs) {
  if (!posted_.empty()) {
    out = posted_.front();
    if (remove) {
      posted_.pop_front();
      if (posted_.empty()) postedEvent_.Reset();
    }
    return true;
  }
  // The timer due the longest.
  auto due = timers_.end();
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.nextDueMs <= nowMs && (due == timers_.end() || it->second.nextDueMs < due->second.nextDueMs))
      due = it;
  }
  if (due == timers_.end()) return false;
  out = Message{kMsgTimer, static_cast<uintptr_t>(due->first), 0};
  if (remove) due->second.nextDueMs = nowMs + due->second.periodMs;
  return true;
}

bool MessageQueue::Peek(Message& out, bool remove) {
  std::lock_guard lock(mutex_);
  return PeekLocked(out, remove, NowMs());
}

bool MessageQueue::HasInput() {
  Message m;
  return Peek(m, false);
}

int64_t MessageQueue::NextTimerDueMs() {
  std::lock_guard lock(mutex_);
  int64_t next = INT64_MAX;
  for (const auto& [id, t] : timers_) next = std::min(next, t.nextDueMs);
  return next;
}

bool MessageQueue::Get(Message& out) {
  for (;;) {
    if (Peek(out, true)) return out.id != kMsgQuit;
    WaitForEventsOrInput(nullptr, 0, -1);
  }
}

void MessageQueue::Dispatch(const Message& m) {
  if (m.id == kMsgTimer) {
    TimerCallback cb;
    {
      std::lock_guard lock(mutex_);
      auto it = timers_.find(static_cast<int>(m.wParam));
      if (it == timers_.end()) return;  // killed meanwhile
      cb = it->second.callback;
    }
    if (cb) cb();
    return;
  }
  Handler h;
  {
    std::lock_guard lock(mutex_);
    h = handler_;
  }
  if (h) h(m);
}

int MessageQueue::Run() {
  Message m;
  while (Get(m)) Dispatch(m);
  return static_cast<int>(m.wParam);
}

#if defined(_WIN32)
int MessageQueue::WaitForEventsOrInput(Event* const* events, size_t count, int timeoutMs) {
  // Room for the posted messages' event after the caller's.
  if (count + 1 > 64 || (count > 0 && events == nullptr)) return kWaitFailed;
  // The caller's events, then the one signalled while posted messages wait.
  Event* all[64];
  for (size_t i = 0; i < count; ++i) {
    if (events[i] == nullptr) return kWaitFailed;
    all[i] = events[i];
  }
  all[count] = &postedEvent_;
  Deadline deadline(timeoutMs);
  for (;;) {
    const int wait = WaitUntilDue(deadline, NextTimerDueMs());
    const int r = Event::WaitAny(all, count + 1, wait);
    if (r == kWaitFailed) return kWaitFailed;
    if (r >= 0 && static_cast<size_t>(r) < count) return r;
    if (HasInput()) return static_cast<int>(count);
    if (deadline.Expired()) return kWaitTimeout;
  }
}
#else
int MessageQueue::WaitForEventsOrInput(Event* const* events, size_t count, int timeoutMs) {
  if (count > 63 || (count > 0 && events == nullptr)) return kWaitFailed;
  pollfd fds[64];
  for (size_t i = 0; i < count; ++i) {
    if (events[i] == nullptr) return kWaitFailed;
    fds[i] = {events[i]->Descriptor(), POLLIN, 0};
  }
  fds[count] = {postedEvent_.Descriptor(), POLLIN, 0};
  Deadline deadline(timeoutMs);
  for (;;) {
    const int wait = WaitUntilDue(deadline, NextTimerDueMs());
    const int r = poll(fds, count + 1, wait);
    if (r < 0) {
      if (errno == EINTR) continue;
      return kWaitFailed;
    }
    for (size_t i = 0; i < count; ++i)
      if (fds[i].revents & POLLIN) return static_cast<int>(i);
    if (HasInput()) return static_cast<int>(count);
    if (deadline.Expired()) return kWaitTimeout;
  }
}
#endif

ReplyWait WaitReply(Event& reply, int timeoutMs) {
  MessageQueue& queue = MessageQueue::Current();
  // One deadline for the whole wait: see docs/decisions.md, "Reply wait deadline".
  const Deadline deadline(std::max(timeoutMs, 0));
  Event* events[1] = {&reply};
  for (;;) {
    const int r = queue.WaitForEventsOrInput(events, 1, deadline.RemainingMs());
    if (r == 0) return ReplyWait::kReplied;
    if (r == kWaitTimeout) return reply.IsSet() ? ReplyWait::kReplied : ReplyWait::kTimedOut;
    if (r != 1) return ReplyWait::kFailed;
    // A batch: the messages waiting now. Its upper bound keeps messages posted
    // by the dispatched handlers themselves from holding the wait in one batch.
    Message m;
    size_t budget = 64;
    while (budget-- > 0 && queue.Peek(m, false)) {
      if (m.id == kMsgClose || m.id == kMsgQuit) return ReplyWait::kCloseRequest;
      queue.Peek(m, true);
      queue.Dispatch(m);
      if (reply.IsSet()) return ReplyWait::kReplied;
    }
    if (deadline.Expired()) return reply.IsSet() ? ReplyWait::kReplied : ReplyWait::kTimedOut;
  }
}

bool WaitForReply(Event& reply, int timeoutMs) { return WaitReply(reply, timeoutMs) == ReplyWait::kReplied; }

}  // namespace nel::platform
