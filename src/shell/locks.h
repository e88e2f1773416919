// The two lock types shared by the whole server, each used through a scoped guard that releases on
// every exit path. CriticalLock is a re-entrant mutual-exclusion lock that records the numeric code
// of the site holding it. SpinRWLock is a reader/writer lock of atomic counters, spinning and short
// sleeps, that prefers writers: while a writer waits no new reader enters. It is not re-entrant.
// Both are meant to be shared by any number of threads. Site codes serve diagnosis only.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

class CriticalLock {
 public:
  void Lock(int32_t site);
  void Unlock();
  int32_t HolderCode() const { return holder_.load(std::memory_order_relaxed); }

 private:
  std::recursive_mutex section_;
  std::atomic<int32_t> holder_{0};
};

class CriticalLockGuard {
 public:
  CriticalLockGuard(CriticalLock& lock, int32_t site) : lock_(lock) { lock_.Lock(site); }
  ~CriticalLockGuard() { lock_.Unlock(); }
  CriticalLockGuard(const CriticalLockGuard&) = delete;
  CriticalLockGuard& operator=(const CriticalLockGuard&) = delete;

 private:
  CriticalLock& lock_;
};

class SpinRWLock {
 public:
  // Every user constructs it with 65535 readers, 1000 spins and 5 ms sleep: the defaults.
  explicit SpinRWLock(int32_t maxReaders = 65535, int32_t spinCount = 1000, uint32_t sleepMs = 5);

  void LockRead(int32_t site, int32_t* holdCount = nullptr);
  void LockWrite(int32_t site, int32_t* holdCount = nullptr);
  // Releases the mode in which the lock is held; with a hold count of 0 or less, does nothing.
  void Unlock(int32_t* holdCount = nullptr);

  int32_t Counter() const { return counter_.load(); }
  int32_t WaitingWriters() const { return waitingWriters_.load(); }
  int32_t ReaderSite() const { return readerSite_.load(); }
  int32_t WriterSite() const { return writerSite_.load(); }

 private:
  void Pause(int32_t& attempts);

  const int32_t maxReaders_;
  const int32_t spinCount_;
  const uint32_t sleepMs_;
  std::atomic<int32_t> counter_{0};
  std::atomic<int32_t> waitingWriters_{0};
  std::atomic<int32_t> readerSite_{0};
  std::atomic<int32_t> writerSite_{0};
};

class SpinRWGuard {
 public:
  enum Mode { Read, Write };
  SpinRWGuard(SpinRWLock& lock, int32_t site, Mode mode) : lock_(lock) {
    if (mode == Read)
      lock_.LockRead(site, &hold_);
    else
      lock_.LockWrite(site, &hold_);
  }
  ~SpinRWGuard() { lock_.Unlock(&hold_); }
  SpinRWGuard(const SpinRWGuard&) = delete;
  SpinRWGuard& operator=(const SpinRWGuard&) = delete;

 private:
  SpinRWLock& lock_;
  int32_t hold_ = 0;
};

// Shared data reachable only through its lock: Read() and Write() hand out guarded references.
template <class T>
class RWGuarded {
 public:
  template <class U>
  class Ref {
   public:
    Ref(SpinRWLock& lock, int32_t site, SpinRWGuard::Mode mode, U& value)
        : guard_(lock, site, mode), value_(value) {}
    U& operator*() const { return value_; }
    U* operator->() const { return &value_; }

   private:
    SpinRWGuard guard_;
    U& value_;
  };
  Ref<const T> Read(int32_t site) const { return Ref<const T>(lock_, site, SpinRWGuard::Read, value_); }
  Ref<T> Write(int32_t site) { return Ref<T>(lock_, site, SpinRWGuard::Write, value_); }

 private:
  mutable SpinRWLock lock_;
  T value_{};
};
