#include "shell/platform.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <system_error>

Event::Event(bool initiallySet) : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (initiallySet) Set();
}

Event::~Event() {
  if (fd_ >= 0) close(fd_);
}

void Event::Set() {
  uint64_t one = 1;
  ssize_t r = write(fd_, &one, sizeof(one));
  (void)r;  // EAGAIN only when the counter is near overflow: it is set either way
}

void Event::Reset() {
  uint64_t value;
  while (read(fd_, &value, sizeof(value)) > 0) {
  }
}

bool Event::IsSet() const { return Wait(0); }

bool Event::Wait(int64_t timeoutMs) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      wait = left > 0 ? static_cast<int>(left) : 0;
    }
    int r = poll(&p, 1, wait);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

uint32_t GetTickCount32() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec / 1000000);
  return static_cast<uint32_t>(ms);
}

int64_t NowSeconds() { return static_cast<int64_t>(time(nullptr)); }

ManagedThread::~ManagedThread() {
  if (thread_.joinable()) thread_.detach();
}

bool ManagedThread::Start(std::function<void()> body, int* error) {
  if (thread_.joinable()) return false;
  auto done = std::make_shared<Event>();
  try {
    thread_ = std::thread([body = std::move(body), done]() {
      body();
      done->Set();
    });
  } catch (const std::system_error& e) {
    if (error) *error = e.code().value();
    return false;
  }
  done_ = std::move(done);
  return true;
}

bool ManagedThread::Join(int64_t timeoutMs) {
  if (!thread_.joinable()) return true;
  if (done_->Wait(timeoutMs)) {
    thread_.join();
    return true;
  }
  thread_.detach();
  return false;
}
