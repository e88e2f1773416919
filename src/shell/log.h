// Process-wide logging: every progress line, error, configuration print, packet dump and access-log
// line goes through these printf-style calls. They write to the console, or to the log file given
// at start (opened and closed per line), and are serialised by one process-wide lock, so they are
// safe to call from any thread. Before StartLogAndWinsock and after StopLogAndWinsock they write
// nothing. The calls never throw.
#pragma once

#include <cstddef>
#include <cstdint>

#define DNS_PRINTF(f, a) __attribute__((format(printf, f, a)))

// Timestamped line: "[MM/DD/YY HH:MM:SS] message\n"; the message is cut at 8171 characters.
void LogMessage(const char* fmt, ...) DNS_PRINTF(1, 2);
// "Error: [MM/DD/YY HH:MM:SS] message\n"; the message is cut at 8171 characters.
void LogError(const char* fmt, ...) DNS_PRINTF(1, 2);
// "Error: message\n" without a timestamp; cut at 8191 characters.
void LogErrorPlain(const char* fmt, ...) DNS_PRINTF(1, 2);
// The message exactly as formatted, no timestamp, no newline; cut at 8191 characters.
void LogRaw(const char* fmt, ...) DNS_PRINTF(1, 2);
// Timestamped line to the named file only (never the console); "wb" when truncate, else "ab".
// Nothing is written when the path is null or empty. Used for the access log.
void LogToFile(const char* path, bool truncate, const char* fmt, ...) DNS_PRINTF(3, 4);
// Hex dump through LogRaw: 16 bytes a line, hex pairs, then the bytes as characters.
void LogHexDump(uint16_t size, const void* data);

// Arms logging (path null or empty: console). Copies at most 259 characters of the path.
// There are no sockets to start on this platform; always true.
bool StartLogAndWinsock(const char* logPath);
// The counterpart at the end of the process: from then on log calls write nothing.
void StopLogAndWinsock();
// The next write to the log file truncates it, unless it was truncated once already.
void RequestLogTruncate();

namespace logging_detail {
// Formats one timestamp prefix "[MM/DD/YY HH:MM:SS] " (20 characters) into out (>= 21 bytes).
void FormatTimestamp(char* out, size_t size);
}  // namespace logging_detail
