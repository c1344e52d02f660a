#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include <nel/platform/event.h>

using nel::platform::Event;
using namespace std::chrono;

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

TEST(Event, WaitTimesOutAfterAboutTheGivenTime) {
  Event e;
  const auto t0 = steady_clock::now();
  EXPECT_FALSE(e.Wait(80));
  const auto ms = duration_cast<milliseconds>(steady_clock::now() - t0).count();
  EXPECT_GE(ms, 80);
  EXPECT_LT(ms, 1000);
}

TEST(Event, SetFromAnotherThreadWakesTheWaiter) {
  Event e;
  std::thread t([&] {
    std::this_thread::sleep_for(milliseconds(30));
    e.Set();
  });
  EXPECT_TRUE(e.Wait(5000));
  t.join();
}

TEST(Event, WaitAnyReturnsLowestSignalledIndexOrTimeout) {
  Event a, b, c;
  Event* list[] = {&a, &b, &c};
  EXPECT_EQ(Event::WaitAny(list, 3, 10), nel::platform::kWaitTimeout);
  c.Set();
  EXPECT_EQ(Event::WaitAny(list, 3, 0), 2);
  b.Set();
  EXPECT_EQ(Event::WaitAny(list, 3, 0), 1);
}

TEST(Event, WaitAnyRejectsBadArguments) {
  Event a;
  Event* withNull[] = {&a, nullptr};
  EXPECT_EQ(Event::WaitAny(nullptr, 1, 0), nel::platform::kWaitFailed);
  EXPECT_EQ(Event::WaitAny(withNull, 2, 0), nel::platform::kWaitFailed);
  EXPECT_EQ(Event::WaitAny(withNull, 0, 0), nel::platform::kWaitFailed);
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
