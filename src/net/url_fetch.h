// One URL fetch for everything the server reads over HTTP: the domain lists and the report URLs.
// It opens the URL directly (never through a proxy from the environment), sends the user agent
// ("Mozilla" when none is given), and hands the body to a callback in pieces of at most 65536
// bytes; every piece but the last is full, so the first piece is the first 65536 bytes of the body.
// An HTTP status of 400 or more is a failed open (its body is an error page, never delivered).
// The fetch owns nothing beyond the call. Safe to call from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

constexpr size_t kUrlPieceSize = 65536;

struct UrlFetchOptions {
  // Time to connect, and time for the whole transfer, in milliseconds (0: no limit).
  int64_t connectTimeoutMs = 10000;
  int64_t transferTimeoutMs = 120000;
  // Asked now and then while the transfer runs; true aborts it (a failed fetch). May be empty.
  std::function<bool()> cancelled;
};

// Receives one piece of the body; returns false to stop reading (the fetch still succeeds).
using UrlPieceSink = std::function<bool(const char* data, size_t size)>;

// Fetches the URL and feeds its body to the sink. True when the body was read to its end or the
// sink stopped it. False after a failure, with the error written to the log:
//   "InternetOpen failed with error 0x%x"    the URL client could not be set up;
//   "InternetOpenUrl failed with error 0x%x" the URL did not open or the transfer broke off
//                                            (time-outs, refused connections, HTTP errors);
// the number is libcurl's result code. A sink must treat what it got before a failure as void.
bool FetchUrl(const char* url, const char* userAgent, const UrlPieceSink& sink,
              const UrlFetchOptions& options = UrlFetchOptions());

// True when the piece holds an HTML tag "<html" (any letter case) followed by ">" or a blank: an
// error or login page served in place of a document. No list or host text contains "<".
bool LooksLikeHtmlPage(const char* data, size_t size);

// The end of the URL that starts at `from` in a URL list ("," or "\n" separated): the position of
// the next separator, or the end of the list. Shared by the domain lists and the report URLs.
inline size_t UrlListSeparator(const std::string& list, size_t from) {
  size_t at = list.find_first_of(",\n", from);
  return at == std::string::npos ? list.size() : at;
}
