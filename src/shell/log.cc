#include "shell/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

namespace {

constexpr size_t kLineSize = 8192;
constexpr size_t kStampedLimit = 8171;  // 8191 minus the 20-character prefix
constexpr size_t kPlainLimit = 8191;

struct LogState {
  std::recursive_mutex lock;
  std::atomic<int> active{0};
  char path[260] = {0};
  bool truncatePending = false;
  bool truncatedOnce = false;
  char line[kLineSize];
};

LogState& State() {
  static LogState state;
  return state;
}

// Formats at most `limit` characters of the message into dst (dst has limit + 1 bytes free).
void FormatLimited(char* dst, size_t limit, const char* fmt, va_list args) {
  int n = vsnprintf(dst, limit + 1, fmt, args);
  if (n < 0) dst[0] = '\0';
}

// Writes the finished line with the call's output format to the log file or the console.
// Called with the lock held.
void Emit(LogState& s, const char* outFmt, const char* text) {
  if (s.path[0] != '\0') {
    const char* mode = "ab";
    if (s.truncatePending) {
      if (!s.truncatedOnce) {
        mode = "wb";
        s.truncatedOnce = true;
      }
      s.truncatePending = false;
    }
    if (FILE* f = std::fopen(s.path, mode)) {
      std::fprintf(f, outFmt, text);
      std::fclose(f);
    }
  } else {
    std::fprintf(stdout, outFmt, text);
    std::fflush(stdout);
  }
}

void WriteLine(bool stamped, size_t limit, const char* outFmt, const char* fmt, va_list args) {
  LogState& s = State();
  if (s.active.load() == 0) return;
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  size_t prefix = 0;
  if (stamped) {
    logging_detail::FormatTimestamp(s.line, sizeof(s.line));
    prefix = std::strlen(s.line);
  }
  FormatLimited(s.line + prefix, limit, fmt, args);
  Emit(s, outFmt, s.line);
}

}  // namespace

namespace logging_detail {
void FormatTimestamp(char* out, size_t size) {
  time_t now = time(nullptr);
  struct tm tmv;
  localtime_r(&now, &tmv);
  snprintf(out, size, "[%02d/%02d/%02d %02d:%02d:%02d] ", tmv.tm_mon + 1, tmv.tm_mday,
           tmv.tm_year % 100, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
}
}  // namespace logging_detail

void LogMessage(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  WriteLine(true, kStampedLimit, "%s\n", fmt, args);
  va_end(args);
}

void LogError(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  WriteLine(true, kStampedLimit, "Error: %s\n", fmt, args);
  va_end(args);
}

void LogErrorPlain(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  WriteLine(false, kPlainLimit, "Error: %s\n", fmt, args);
  va_end(args);
}

void LogRaw(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  WriteLine(false, kPlainLimit, "%s", fmt, args);
  va_end(args);
}

void LogToFile(const char* path, bool truncate, const char* fmt, ...) {
  LogState& s = State();
  if (s.active.load() == 0 || path == nullptr || path[0] == '\0') return;
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  logging_detail::FormatTimestamp(s.line, sizeof(s.line));
  size_t prefix = std::strlen(s.line);
  va_list args;
  va_start(args, fmt);
  FormatLimited(s.line + prefix, kStampedLimit, fmt, args);
  va_end(args);
  if (FILE* f = std::fopen(path, truncate ? "wb" : "ab")) {
    std::fprintf(f, "%s\n", s.line);
    std::fclose(f);
  }
}

void LogHexDump(uint16_t size, const void* data) {
  LogRaw("\n");
  if (size == 0 || data == nullptr) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  static const char kHex[] = "0123456789ABCDEF";
  constexpr size_t kLineChars = 66;     // 48 hex columns, a blank, 16 characters, "\n"
  constexpr size_t kBlockLines = 100;
  static thread_local char block[kLineChars * kBlockLines + 1];
  size_t used = 0, lines = 0;
  for (size_t off = 0; off < size; off += 16) {
    char* line = block + used;
    std::memset(line, ' ', kLineChars);
    size_t n = size - off < 16 ? size - off : 16;
    for (size_t i = 0; i < n; ++i) {
      uint8_t b = bytes[off + i];
      line[i * 3] = kHex[b >> 4];
      line[i * 3 + 1] = kHex[b & 15];
      line[49 + i] = (b < 0x20 || b >= 0xC0) ? '.' : static_cast<char>(b);
    }
    // The character column keeps its place; a short last line ends after its characters.
    line[49 + n] = '\n';
    used += 49 + n + 1;
    if (++lines == kBlockLines) {
      block[used] = '\0';
      LogRaw("%s", block);
      used = lines = 0;
    }
  }
  block[used] = '\0';
  LogRaw("%s\n", block);
}

bool StartLogAndWinsock(const char* logPath) {
  LogState& s = State();
  {
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.path[0] = '\0';
    if (logPath) {
      std::strncpy(s.path, logPath, sizeof(s.path) - 1);
      s.path[sizeof(s.path) - 1] = '\0';
    }
    s.truncatePending = false;
  }
  s.active.fetch_add(1);
  return true;
}

void StopLogAndWinsock() {
  LogState& s = State();
  if (s.active.load() > 0) s.active.fetch_sub(1);
}

void RequestLogTruncate() {
  LogState& s = State();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  s.truncatePending = true;
}
