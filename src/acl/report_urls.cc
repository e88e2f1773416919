#include "acl/report_urls.h"

#include <cstring>

#include "shell/log.h"

namespace {

constexpr int32_t kSiteClear = 10104;
constexpr int32_t kSiteSettings = 10105;
constexpr int32_t kSiteNext = 10106;
constexpr int32_t kSiteReadSettings = 10107;
constexpr int32_t kSiteStore = 10110;

}  // namespace

void ReportBodyReader::EndItem() {
  size_t len = length_;
  bool overlong = overlong_;
  length_ = 0;
  overlong_ = false;
  if (overlong) return;
  if (len > 0 && item_[len - 1] == '\r') --len;
  if (len == 0 || len > kMaxItem) return;
  std::string host(item_, len);
  size_t colon = host.find(':');
  if (colon != std::string::npos) host.resize(colon);
  if (!host.empty() && (host[0] == '#' || host[0] == '+' || host[0] == '*')) host.erase(0, 1);
  candidate_ = host;
  state_ = kCandidate;
}

ReportBodyReader::State ReportBodyReader::Feed(const char* data, size_t size) {
  if (state_ != kReading) return state_;
  if (first_) {
    first_ = false;
    if (LooksLikeHtmlPage(data, size)) return state_ = kHtmlPage;
  }
  for (size_t i = 0; i < size && state_ == kReading; ++i) {
    char c = data[i];
    if (c == '\n' || c == ',' || c == ';') {
      EndItem();
    } else if (c == '=') {
      length_ = 0;  // the key and its "=" are not part of the host
      overlong_ = false;
    } else if (overlong_) {
      continue;
    } else if (length_ < sizeof(item_)) {
      item_[length_++] = c;
    } else {
      overlong_ = true;
    }
  }
  return state_;
}

ReportBodyReader::State ReportBodyReader::Finish() {
  if (state_ == kReading) EndItem();
  if (state_ == kReading) state_ = kNoHost;
  return state_;
}

void ReportUrlList::SetUserAgent(const char* agent) {
  std::string copy = agent ? std::string(agent).substr(0, kUrlSize - 1) : std::string();
  SpinRWGuard guard(lock_, kSiteSettings, SpinRWGuard::Write);
  userAgent_.swap(copy);
}

void ReportUrlList::SetFetchOptions(const UrlFetchOptions& options) {
  UrlFetchOptions copy = options;
  SpinRWGuard guard(lock_, kSiteSettings, SpinRWGuard::Write);
  std::swap(fetchOptions_, copy);
}

std::string ReportUrlList::Text() const {
  SpinRWGuard guard(lock_, kSiteReadSettings, SpinRWGuard::Read);
  return urls_;
}

bool ReportUrlList::SetReportUrls(const char* text, const HostSetter& setHost) {
  if (text == nullptr) {
    SpinRWGuard guard(lock_, kSiteClear, SpinRWGuard::Write);
    urls_.clear();
    cursor_ = 0;
    return true;
  }
  std::string list = text;
  size_t first = UrlListSeparator(list, 0);
  if (list.size() >= kListSize || first >= kUrlSize) {
    LogError("Report Url too long");
    return false;
  }
  std::string url = list.substr(0, first);
  if (!url.empty() && url.back() == '\r') url.pop_back();
  return FetchDnsHostFromUrl(url.c_str(), text, setHost);
}

bool ReportUrlList::NextReportUrl(std::string* url) {
  SpinRWGuard guard(lock_, kSiteNext, SpinRWGuard::Write);
  url->clear();
  if (urls_.empty()) return false;
  if (cursor_ >= urls_.size()) cursor_ = 0;
  size_t sep = UrlListSeparator(urls_, cursor_);
  *url = urls_.substr(cursor_, sep - cursor_).substr(0, kUrlSize - 1);
  if (!url->empty() && url->back() == '\r') url->pop_back();
  cursor_ = sep < urls_.size() ? sep + 1 : 0;
  return !url->empty();
}

bool ReportUrlList::FetchDnsHostFromUrl(const char* url, const char* list, const HostSetter& setHost) {
  if (url == nullptr) url = "";
  std::string agent;
  UrlFetchOptions options;
  {
    SpinRWGuard guard(lock_, kSiteReadSettings, SpinRWGuard::Read);
    agent = userAgent_;
    options = fetchOptions_;
  }
  if (log_) {
    if (!agent.empty())
      LogMessage("Reporting url %s [%s]...", url, agent.c_str());
    else
      LogMessage("Reporting url %s...", url);
  }
  ReportBodyReader reader;
  bool opened = FetchUrl(url, agent.c_str(), [&](const char* data, size_t size) {
    if (reader.Feed(data, size) == ReportBodyReader::kHtmlPage) {
      std::string text(data, size);
      LogError("Report url failed (%s)\n%s", url, text.c_str());
    }
    return reader.state() == ReportBodyReader::kReading;
  }, options);
  if (!opened) return false;
  bool hostSet = false;
  if (reader.Finish() == ReportBodyReader::kCandidate) {
    // An empty candidate (an item such as ":53") would clear the upstream host: refused.
    hostSet = !reader.Candidate().empty() && setHost(reader.Candidate());
  }
  if (list != nullptr) {
    std::string copy = std::string(list).substr(0, kListSize - 1);
    SpinRWGuard guard(lock_, kSiteStore, SpinRWGuard::Write);
    urls_.swap(copy);
    size_t sep = UrlListSeparator(urls_, 0);
    cursor_ = sep < urls_.size() ? sep + 1 : 0;
  }
  if (hostSet && log_) LogMessage("DNS Server Host: %s", reader.Candidate().c_str());
  return hostSet;
}
