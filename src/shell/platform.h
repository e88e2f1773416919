// The thin platform layer under the server: a manual-reset event that a signal handler may set,
// the 32-bit millisecond tick count, seconds since 1970, and a joinable thread with a grace period.
// Event and ManagedThread are safe to use from several threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

// Manual-reset event on an eventfd: Set is async-signal-safe (one write(2)), stays set until Reset.
class Event {
 public:
  explicit Event(bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool Valid() const { return fd_ >= 0; }
  void Set();    // async-signal-safe
  void Reset();
  bool IsSet() const;
  // Waits until set; timeoutMs < 0 waits for ever. True when the event is set.
  bool Wait(int64_t timeoutMs = -1) const;
  int Fd() const { return fd_; }

 private:
  int fd_;
};

// Milliseconds of the monotonic clock truncated to 32 bits (wraps after about 49.7 days;
// differences are taken in unsigned 32-bit arithmetic).
uint32_t GetTickCount32();
// Seconds since 1970.
int64_t NowSeconds();

// A thread whose end can be awaited with a time limit. A thread that does not end within the
// grace period is detached and left to end with the process (it cannot be killed safely).
class ManagedThread {
 public:
  ManagedThread() = default;
  ~ManagedThread();
  ManagedThread(const ManagedThread&) = delete;
  ManagedThread& operator=(const ManagedThread&) = delete;

  // False when the thread could not be created (errno-style code in *error when given).
  bool Start(std::function<void()> body, int* error = nullptr);
  bool Running() const { return thread_.joinable(); }
  // Waits up to timeoutMs for the body to return. True when it ended (and was joined); false when
  // the time ran out, in which case the thread is detached.
  bool Join(int64_t timeoutMs);

 private:
  std::thread thread_;
  std::shared_ptr<Event> done_;
};
