#include "shell/locks.h"

#include <chrono>
#include <thread>

void CriticalLock::Lock(int32_t site) {
  section_.lock();
  holder_.store(site, std::memory_order_relaxed);
}

void CriticalLock::Unlock() {
  holder_.store(0, std::memory_order_relaxed);
  section_.unlock();
}

SpinRWLock::SpinRWLock(int32_t maxReaders, int32_t spinCount, uint32_t sleepMs)
    : maxReaders_(maxReaders), spinCount_(spinCount), sleepMs_(sleepMs) {}

// Counts one attempt; after a series of spin count + 1 attempts, sleeps and starts a new series.
// A spin count of -1 spins for ever without sleeping.
void SpinRWLock::Pause(int32_t& attempts) {
  if (spinCount_ < 0) {
    std::this_thread::yield();
    return;
  }
  if (++attempts > spinCount_) {
    attempts = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs_));
  }
}

void SpinRWLock::LockRead(int32_t site, int32_t* holdCount) {
  int32_t attempts = 0;
  for (;;) {
    if (waitingWriters_.load() == 0) {
      int32_t now = counter_.fetch_add(1) + 1;
      if (now <= maxReaders_) {
        readerSite_.store(site, std::memory_order_relaxed);
        if (holdCount) *holdCount += 1;
        return;
      }
      counter_.fetch_sub(1);
    }
    Pause(attempts);
  }
}

void SpinRWLock::LockWrite(int32_t site, int32_t* holdCount) {
  waitingWriters_.fetch_add(1);
  int32_t attempts = 0;
  for (;;) {
    int32_t expected = 0;
    if (counter_.compare_exchange_strong(expected, maxReaders_ + 1)) {
      waitingWriters_.fetch_sub(1);
      writerSite_.store(site);
      if (holdCount) *holdCount += maxReaders_ + 1;
      return;
    }
    Pause(attempts);
  }
}

void SpinRWLock::Unlock(int32_t* holdCount) {
  if (holdCount && *holdCount <= 0) return;
  if (writerSite_.load() != 0) {
    writerSite_.store(0);
    counter_.fetch_sub(maxReaders_ + 1);
    if (holdCount) *holdCount -= maxReaders_ + 1;
  } else {
    counter_.fetch_sub(1);
    if (holdCount) *holdCount -= 1;
  }
}
