// The report URLs: a list of URLs whose documents name the upstream DNS host, used in turn.
// ReportBodyReader picks the host out of a document; ReportUrlList owns the URL list, its cursor
// and the user agent, and fetches a URL through FetchUrl. Setting the host is not its business:
// the server hands in its SetDNSHost as a callback.
//
// ReportBodyReader is single-threaded. ReportUrlList is safe from several threads: the list and
// the cursor are touched only under its SpinRWLock, always taken exclusively for them.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>

#include "net/url_fetch.h"
#include "shell/locks.h"

// Items are separated by "\n", "," or ";" and count once complete (a separator or the end of the
// document ends them). In an item the text up to its last "=" is ignored (key=name gives name) and
// a trailing "\r" is dropped; items then empty or of 266 characters and more are skipped. The first
// other item is the candidate, cut at its first ":" (a port is not used), without one leading "#",
// "+" or "*". A first piece holding an HTML page gives kHtmlPage and no candidate.
class ReportBodyReader {
 public:
  static constexpr size_t kMaxItem = 265;
  enum State { kReading, kCandidate, kHtmlPage, kNoHost };

  // Feeds the next piece of the body; once the state is no longer kReading, pieces are ignored.
  State Feed(const char* data, size_t size);
  // End of the body: the unfinished last item counts; kNoHost when no item qualified.
  State Finish();
  State state() const { return state_; }
  // The candidate host (may be empty, e.g. for an item ":53"; such a host is never set).
  const std::string& Candidate() const { return candidate_; }

 private:
  void EndItem();

  State state_ = kReading;
  bool first_ = true;
  char item_[kMaxItem + 1];  // room for an item and its "\r"
  size_t length_ = 0;
  bool overlong_ = false;
  std::string candidate_;
};

class ReportUrlList {
 public:
  static constexpr size_t kUrlSize = 260;    // one URL: 259 characters usable
  static constexpr size_t kListSize = 1040;  // the list: 1039 characters usable
  // The server's SetDNSHost: true when it accepted the host.
  using HostSetter = std::function<bool(const std::string& host)>;

  ReportUrlList() = default;
  ReportUrlList(const ReportUrlList&) = delete;
  ReportUrlList& operator=(const ReportUrlList&) = delete;

  void SetLog(bool on) { log_.store(on); }
  // The user agent of the fetches (259 characters kept); empty sends "Mozilla".
  void SetUserAgent(const char* agent);
  void SetFetchOptions(const UrlFetchOptions& options);

  // Null empties the list (true). Otherwise "Report Url too long" for a text of 1040 characters or
  // more or a first URL (up to the first "," or "\n") of 260 or more; else fetches the first URL
  // with the whole text as the new list and returns whether a host was set.
  bool SetReportUrls(const char* text, const HostSetter& setHost);
  // The URL at the cursor (259 characters at most, one trailing "\r" dropped); the cursor moves past
  // it, back to the start after the last. False when the list is empty or the URL is.
  bool NextReportUrl(std::string* url);
  // Fetches the URL and gives the candidate host of its body to setHost. With a list, the list
  // (1039 characters at most) replaces the report URLs, the cursor on its second URL, once the URL
  // opened, whether or not a host was set. True when setHost accepted a host.
  bool FetchDnsHostFromUrl(const char* url, const char* list, const HostSetter& setHost);

  std::string Text() const;

 private:
  std::atomic<bool> log_{false};
  mutable SpinRWLock lock_;
  std::string urls_;
  size_t cursor_ = 0;
  std::string userAgent_;
  UrlFetchOptions fetchOptions_;
};
