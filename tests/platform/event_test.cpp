#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <nel/platform/event.h>
#include "platform/wait_clock.h"

using nel::platform::Event;
using nel::platform::kWaitFailed;

namespace {

TEST(Event, ManualResetStaysSignalledUntilReset) {
  Event e;
  EXPECT_FALSE(e.IsSet());
  e.Set();
  e.Set();  // setting twice is still one signalled state
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.Wait(0));  // a wait does not consume the signal
  e.Reset();
  EXPECT_FALSE(e.IsSet());
}

// The lowest signalled index wins; a null anywhere in the list, no list or no
// events at all is refused before any wait.
TEST(Event, WaitAnyReturnsLowestSignalledIndexOrTimeoutOrRefuses) {
  Event a, b, c;
  Event* list[] = {&a, &b, &c};
  EXPECT_EQ(Event::WaitAny(list, 3, 10), nel::platform::kWaitTimeout);
  c.Set();
  EXPECT_EQ(Event::WaitAny(list, 3, 0), 2);
  b.Set();
  EXPECT_EQ(Event::WaitAny(list, 3, 0), 1);
  Event* nullFirst[] = {nullptr, &a};
  Event* nullLast[] = {&a, nullptr};
  EXPECT_EQ(Event::WaitAny(nullFirst, 2, 0), kWaitFailed);
  EXPECT_EQ(Event::WaitAny(nullLast, 2, 0), kWaitFailed);
  EXPECT_EQ(Event::WaitAny(nullptr, 1, 0), kWaitFailed);
  EXPECT_EQ(Event::WaitAny(list, 0, 0), kWaitFailed);
}

// The time left is rounded up, so that a poll given it never ends early.
TEST(Deadline, RemainingTimeIsRoundedUp) {
  int left = 0;
  for (int i = 0; i < 5 && left != 1000; ++i) left = nel::platform::Deadline(1000).RemainingMs();
  EXPECT_EQ(left, 1000) << "less than a millisecond has passed since the start";
  EXPECT_EQ(nel::platform::Deadline(-1).RemainingMs(), -1);
  EXPECT_FALSE(nel::platform::Deadline(-1).Expired());
  EXPECT_TRUE(nel::platform::Deadline(0).Expired());
}

}  // namespace

// Out of descriptors: the event is invalid instead of ending the process, and
// a wait on it fails at once instead of blocking. Run in a child process (a
// plain fork: the sanitizers' own checks need descriptors too, so nothing but
// the event's calls runs there with the limit at 0).
TEST(Event, WithoutDescriptorsIsInvalidAndWaitsFailAtOnce) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &lim);
    nel::platform::Event e(true);
    e.Set();
    e.Reset();
    nel::platform::Event* list[] = {&e};
    const bool ok =
        !e.Valid() && !e.Wait(1000) && nel::platform::Event::WaitAny(list, 1, 1000) == nel::platform::kWaitFailed;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child did not exit normally (aborted?)";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
