#include "acl/domain_list.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "shell/log.h"

namespace {

// Lock sites of the domain lists.
constexpr int32_t kSiteLookup = 13001;
constexpr int32_t kSitePrint = 13002;
constexpr int32_t kSiteReadSource = 13003;
constexpr int32_t kSiteSetText = 13101;
constexpr int32_t kSiteSwapFile = 13102;
constexpr int32_t kSiteSwapUrl = 13103;
constexpr int32_t kSiteNextUrl = 13104;
constexpr int32_t kSiteSettings = 13105;

}  // namespace

DomainListCore::DomainListCore(const char* name, const char* printVerb, bool roundRobin)
    : printVerb_(printVerb), roundRobin_(roundRobin), entries_(new DomainNameSet) {
  std::snprintf(name_, sizeof(name_), "%s", name);
  std::snprintf(lowerName_, sizeof(lowerName_), "%s", name);
  for (char* p = lowerName_; *p; ++p)
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + 32);
}

DomainListCore::~DomainListCore() = default;

void DomainListCore::SetUserAgent(const char* agent) {
  std::string copy = agent ? std::string(agent).substr(0, kPathSize - 1) : std::string();
  SpinRWGuard guard(lock_, kSiteSettings, SpinRWGuard::Write);
  userAgent_.swap(copy);
}

void DomainListCore::SetFetchOptions(const UrlFetchOptions& options) {
  UrlFetchOptions copy = options;
  SpinRWGuard guard(lock_, kSiteSettings, SpinRWGuard::Write);
  std::swap(fetchOptions_, copy);
}

bool DomainListCore::Active() const {
  SpinRWGuard guard(lock_, kSiteReadSource, SpinRWGuard::Read);
  return active_;
}

size_t DomainListCore::Count() const {
  SpinRWGuard guard(lock_, kSiteReadSource, SpinRWGuard::Read);
  return entries_->Size();
}

bool DomainListCore::Lookup(const char* name, bool inactiveResult) const {
  SpinRWGuard guard(lock_, kSiteLookup, SpinRWGuard::Read);
  if (!active_) return inactiveResult;
  return entries_->MatchesNameOrParent(name);
}

void DomainListCore::Swap(std::unique_ptr<DomainNameSet>& fresh) { entries_.swap(fresh); }

bool DomainListCore::SetFromText(const char* text) {
  if (text == nullptr) {
    SpinRWGuard guard(lock_, kSiteSetText, SpinRWGuard::Write);
    active_ = false;
    return true;
  }
  auto fresh = std::make_unique<DomainNameSet>();
  DomainItemReader reader(fresh.get());
  reader.Feed(text, std::strlen(text));
  reader.Finish();
  {
    SpinRWGuard guard(lock_, kSiteSetText, SpinRWGuard::Write);
    Swap(fresh);
    sourceFile_.clear();
    sourceUrls_.clear();
    cursor_ = 0;
    active_ = true;
  }
  return true;  // the old set is freed here, outside the lock
}

bool DomainListCore::LoadFromFile(const char* path) {
  if (path == nullptr || std::strlen(path) >= kPathSize) {
    LogError("%s File too long", name_);
    return false;
  }
  return LoadFile(path, true);
}

bool DomainListCore::LoadFile(const std::string& path, bool setSource) {
  if (log_) LogMessage("Loading %s from file %s...", lowerName_, path.c_str());
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    LogError("Unable to load file %s (error %i)", path.c_str(), errno);
    return false;
  }
  auto fresh = std::make_unique<DomainNameSet>();
  DomainLineReader lines(fresh.get());
  static constexpr size_t kBlock = 1 << 16;
  std::unique_ptr<char[]> block(new char[kBlock]);
  size_t got;
  while ((got = std::fread(block.get(), 1, kBlock, file)) > 0) lines.Feed(block.get(), got);
  bool readError = std::ferror(file) != 0;
  int readErrno = errno;
  std::fclose(file);
  if (readError) {
    LogError("Unable to load file %s (error %i)", path.c_str(), readErrno);
    return false;
  }
  lines.Finish();
  {
    SpinRWGuard guard(lock_, kSiteSwapFile, SpinRWGuard::Write);
    // An empty file keeps the old entries: a list that is being rewritten must not open (or shut)
    // the gate for every name meanwhile.
    if (!fresh->Empty()) Swap(fresh);
    if (setSource) {
      sourceUrls_.clear();
      cursor_ = 0;
      sourceFile_ = path;
      active_ = true;
    }
  }
  if (log_) LogMessage("%s loaded.", name_);
  return true;
}

bool DomainListCore::LoadUrl(const std::string& url, const std::string* source) {
  std::string agent;
  UrlFetchOptions options;
  {
    SpinRWGuard guard(lock_, kSiteReadSource, SpinRWGuard::Read);
    agent = userAgent_;
    options = fetchOptions_;
  }
  if (log_) {
    if (!agent.empty())
      LogMessage("Loading %s from url %s [%s]...", lowerName_, url.c_str(), agent.c_str());
    else
      LogMessage("Loading %s from url %s...", lowerName_, url.c_str());
  }
  auto fresh = std::make_unique<DomainNameSet>();
  DomainItemReader reader(fresh.get());
  bool first = true, htmlPage = false;
  bool opened = FetchUrl(url.c_str(), agent.c_str(), [&](const char* data, size_t size) {
    if (first) {
      first = false;
      if (LooksLikeHtmlPage(data, size)) {
        std::string text(data, size);
        LogError("Load %s from url failed (%s)\n%s", lowerName_, url.c_str(), text.c_str());
        htmlPage = true;
        return false;
      }
    }
    reader.Feed(data, size);
    return true;
  }, options);
  if (!opened) return false;
  if (!htmlPage) reader.Finish();
  bool loaded = !htmlPage && reader.Accepted() > 0;
  {
    SpinRWGuard guard(lock_, kSiteSwapUrl, SpinRWGuard::Write);
    if (loaded) Swap(fresh);
    if (source) {
      sourceFile_.clear();
      sourceUrls_ = *source;
      cursor_ = 0;
      if (roundRobin_) {
        size_t sep = UrlListSeparator(sourceUrls_, 0);
        if (sep < sourceUrls_.size()) cursor_ = sep + 1;
      }
      active_ = true;
    }
  }
  if (loaded && log_) LogMessage("%i %s loaded.", static_cast<int>(reader.Accepted()), lowerName_);
  return loaded;
}

std::string DomainListCore::NextSourceUrl() {
  SpinRWGuard guard(lock_, kSiteNextUrl, SpinRWGuard::Write);
  if (!roundRobin_) return sourceUrls_;
  if (cursor_ >= sourceUrls_.size()) cursor_ = 0;
  size_t sep = UrlListSeparator(sourceUrls_, cursor_);
  std::string url = sourceUrls_.substr(cursor_, sep - cursor_).substr(0, kPathSize - 1);
  if (!url.empty() && url.back() == '\r') url.pop_back();
  cursor_ = sep < sourceUrls_.size() ? sep + 1 : 0;
  return url;
}

bool DomainListCore::Reload() {
  std::string file;
  bool fromUrls;
  {
    SpinRWGuard guard(lock_, kSiteReadSource, SpinRWGuard::Read);
    if (!active_) return true;
    file = sourceFile_;
    fromUrls = !sourceUrls_.empty();
  }
  if (!file.empty()) return LoadFile(file, false);
  if (fromUrls) return LoadUrl(NextSourceUrl(), nullptr);
  return true;
}

void DomainListCore::Print() const {
  SpinRWGuard guard(lock_, kSitePrint, SpinRWGuard::Read);
  if (!active_) return;
  LogRaw("\n%i %s:\n", static_cast<int>(entries_->Size()), lowerName_);
  entries_->ForEach([&](std::string_view name) {
    LogRaw("%.*s %s\n", static_cast<int>(name.size()), name.data(), printVerb_);
  });
}

AllowedList::AllowedList(const char* name) : DomainListCore(name, "ALLOWED", true) {}
AllowedList::~AllowedList() = default;

bool AllowedList::LoadFromUrls(const char* urls) {
  std::string list = urls ? urls : "";
  size_t first = UrlListSeparator(list, 0);
  if (list.size() >= kUrlListSize || first >= kPathSize) {
    LogError("%s Url too long", Name());
    return false;
  }
  std::string url = list.substr(0, first);
  if (!url.empty() && url.back() == '\r') url.pop_back();
  return LoadUrl(url, &list);
}

DeniedList::DeniedList(const char* name) : DomainListCore(name, "DENIED", false) {}
DeniedList::~DeniedList() = default;

bool DeniedList::LoadFromUrl(const char* url) {
  std::string text = url ? url : "";
  if (text.size() >= kPathSize) {
    LogError("%s Url too long", Name());
    return false;
  }
  return LoadUrl(text, &text);
}
