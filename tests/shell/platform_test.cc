#include "shell/platform.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "shell/banner.h"
#include "shell/exceptions.h"
#include "shell/version.h"

namespace {

using namespace std::chrono_literals;

TEST(Event, ManualResetStaysSetUntilReset) {
  Event e;
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(10));
  e.Set();
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.Wait(-1));  // still set: manual reset
  e.Reset();
  EXPECT_FALSE(e.IsSet());
}

Event* gSignalEvent = nullptr;
void OnSignal(int) { gSignalEvent->Set(); }

TEST(Event, SetFromASignalHandlerWakesAWaiter) {
  Event e;
  gSignalEvent = &e;
  struct sigaction sa {}, old{};
  sa.sa_handler = OnSignal;
  sigaction(SIGUSR1, &sa, &old);
  std::thread waker([] {
    std::this_thread::sleep_for(20ms);
    raise(SIGUSR1);
  });
  EXPECT_TRUE(e.Wait(5000));
  waker.join();
  sigaction(SIGUSR1, &old, nullptr);
}

TEST(TickCount, AdvancesInMilliseconds) {
  uint32_t a = GetTickCount32();
  std::this_thread::sleep_for(30ms);
  uint32_t elapsed = GetTickCount32() - a;  // unsigned wrap-around arithmetic
  EXPECT_GE(elapsed, 25u);
  EXPECT_LT(elapsed, 5000u);
}

TEST(ManagedThread, JoinWithinGraceAndDetachAfter) {
  ManagedThread quick;
  std::atomic<bool> ran{false};
  ASSERT_TRUE(quick.Start([&] { ran = true; }));
  EXPECT_TRUE(quick.Join(5000));
  EXPECT_TRUE(ran.load());

  auto release = std::make_shared<Event>();
  ManagedThread slow;
  ASSERT_TRUE(slow.Start([release] { release->Wait(5000); }));
  EXPECT_FALSE(slow.Join(20)) << "a thread that overruns its grace period is left behind";
  EXPECT_FALSE(slow.Running());
  release->Set();
}

TEST(Version, BannerVersionText) {
  struct Case {
    const char* version;
    const char* text;
  } cases[] = {
      {"2.3.0.45", " 2.3 build 45"},
      {"2.0.0.0", " 2.0"},
      {"2, 3, 0, 45", " 2.3 build 45"},
      {"1.4.2.0", " 1.4.2"},
      {"3.1.0.7", " 3.1 build 7"},
      {"1.0.0.1234567890", " 1.0"},  // a build number of ten digits is dropped
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatVersionText(c.version), c.text) << c.version;
}

TEST(Version, MakerLineNamesTheSpanOfYears) {
  EXPECT_EQ(MakerLine(2026).find("2026-"), std::string::npos);
  EXPECT_NE(MakerLine(2029).find("2026-2029"), std::string::npos);
}

TEST(Exceptions, NamesOfCodes) {
  EXPECT_STREQ(SehExceptionName(0xC0000005), "Access violation");
  EXPECT_STREQ(SehExceptionName(0xC00000FD), "Stack overflow");
  EXPECT_STREQ(SehExceptionName(0xE06D7363), "C++ exception");
  EXPECT_STREQ(SehExceptionName(0x12345678), "Unknown SEH exception");
}

TEST(Exceptions, RunReportedCatchesEveryKind) {
  EXPECT_TRUE(RunReported("T", [] {}));
  EXPECT_FALSE(RunReported("T", [] { throw VCSE(0xC0000094); }));
  EXPECT_FALSE(RunReported("T", [] { throw std::runtime_error("boom"); }));
  EXPECT_FALSE(RunReported("T", [] { throw 5; }));
}

}  // namespace
