#include "shell/locks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Waits (bounded) until the condition holds.
template <class F>
bool Eventually(F f) {
  for (int i = 0; i < 2000; ++i) {
    if (f()) return true;
    std::this_thread::sleep_for(1ms);
  }
  return f();
}

TEST(CriticalLock, HolderCodeAndReentry) {
  CriticalLock lock;
  {
    CriticalLockGuard g(lock, 10203);
    EXPECT_EQ(lock.HolderCode(), 10203);
    CriticalLockGuard again(lock, 42);  // re-entrant for the owner
    EXPECT_EQ(lock.HolderCode(), 42);
  }
  EXPECT_EQ(lock.HolderCode(), 0);
}

TEST(SpinRWLock, ReadersShareAndAWaitingWriterBlocksNewReaders) {
  SpinRWLock lock;
  lock.LockRead(1);
  std::atomic<bool> secondReaderIn{false};
  std::thread reader2([&] {
    lock.LockRead(2);
    secondReaderIn = true;
  });
  ASSERT_TRUE(Eventually([&] { return secondReaderIn.load(); })) << "two readers hold the lock together";
  EXPECT_EQ(lock.Counter(), 2);

  std::atomic<bool> writerIn{false};
  std::thread writer([&] {
    lock.LockWrite(3);
    writerIn = true;
  });
  ASSERT_TRUE(Eventually([&] { return lock.WaitingWriters() == 1; }));

  std::atomic<bool> thirdReaderIn{false};
  std::thread reader3([&] {
    lock.LockRead(4);
    thirdReaderIn = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(writerIn.load()) << "the writer waits for the readers present";
  EXPECT_FALSE(thirdReaderIn.load()) << "a waiting writer keeps new readers out";

  lock.Unlock();  // first reader
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(writerIn.load());
  reader2.join();
  lock.Unlock();  // second reader (released on its behalf)
  ASSERT_TRUE(Eventually([&] { return writerIn.load(); }));
  writer.join();
  EXPECT_EQ(lock.WriterSite(), 3);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(thirdReaderIn.load()) << "no reader while the writer holds it";
  lock.Unlock();
  ASSERT_TRUE(Eventually([&] { return thirdReaderIn.load(); }));
  reader3.join();
  EXPECT_EQ(lock.ReaderSite(), 4);
  lock.Unlock();
  EXPECT_EQ(lock.Counter(), 0);
  EXPECT_EQ(lock.WriterSite(), 0);
}

TEST(SpinRWLock, GuardThatNeverAcquiredReleasesNothing) {
  SpinRWLock lock;
  lock.LockRead(1);
  int32_t hold = 0;
  lock.Unlock(&hold);  // a guard's release with hold count 0
  EXPECT_EQ(lock.Counter(), 1);
  lock.Unlock();
  EXPECT_EQ(lock.Counter(), 0);
}

TEST(SpinRWLock, GuardsReleaseOnEveryPath) {
  SpinRWLock lock;
  try {
    SpinRWGuard g(lock, 7, SpinRWGuard::Write);
    EXPECT_EQ(lock.Counter(), 65536);
    throw 1;
  } catch (int) {
  }
  EXPECT_EQ(lock.Counter(), 0);
  EXPECT_EQ(lock.WriterSite(), 0);
  {
    SpinRWGuard a(lock, 8, SpinRWGuard::Read);
    SpinRWGuard b(lock, 9, SpinRWGuard::Read);
    EXPECT_EQ(lock.Counter(), 2);
  }
  EXPECT_EQ(lock.Counter(), 0);
}

TEST(SpinRWLock, WritersExcludeEachOtherUnderContention) {
  RWGuarded<long> value;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        if (i % 4 == 0) {
          auto w = value.Write(1);
          long v = *w;
          *w = v + 1;
        } else {
          auto r = value.Read(2);
          EXPECT_GE(*r, 0);
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(*value.Read(3), 4 * 500);
}

}  // namespace
