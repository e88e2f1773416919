// The allowed and the denied domain list. Each owns its entries (a DomainNameSet), whether it is
// active, its source (a file, or URLs: a round-robin list for the allowed list, one URL for the
// denied list) and the user agent of its fetches; it does not own the reload schedule (the
// server's reload thread calls Reload). A name matches when it or any parent domain is listed.
//
// Loads read the whole new document first, into a new set, outside the lock; the new set is swapped
// in under the exclusive lock in one step, so lookups never wait for a file or the network and
// never see a half-built list. A load that fails, that yields no entry, or that is an HTML page
// keeps the old entries.
//
// Safe from several threads: lookups and Print take the list's SpinRWLock shared; swaps, sources and
// the URL cursor take it exclusively.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "acl/domain_name_set.h"
#include "net/url_fetch.h"
#include "shell/locks.h"

// Shared by both lists; not used on its own.
class DomainListCore {
 public:
  static constexpr size_t kPathSize = 260;      // paths and URLs: 259 characters usable
  static constexpr size_t kUrlListSize = 1040;  // URL lists: 1039 characters usable

  DomainListCore(const DomainListCore&) = delete;
  DomainListCore& operator=(const DomainListCore&) = delete;

  const char* Name() const { return name_; }
  // The progress lines ("Loading domains from file ...") are written only with this switch on.
  void SetLog(bool on) { log_.store(on); }
  // The user agent of the fetches (259 characters kept); empty sends "Mozilla".
  void SetUserAgent(const char* agent);
  void SetFetchOptions(const UrlFetchOptions& options);

  // Replaces the entries with the items of the text, forgets the source, makes the list active.
  // Null only makes the list inactive (the entries stay). Always true.
  bool SetFromText(const char* text);
  // Loads the file (one name a line) and makes it the source. "%s File too long" for a path of
  // 260 characters or more; "Unable to load file %s (error %i)" when it does not open.
  bool LoadFromFile(const char* path);
  // Reads the source again: the file, else the next source URL; nothing for an inactive list or one
  // set from text. False when a load was tried and failed.
  bool Reload();
  // "\n%i %s:\n" and one line per entry, through LogRaw; only for an active list.
  void Print() const;

  bool Active() const;
  size_t Count() const;

 protected:
  DomainListCore(const char* name, const char* printVerb, bool roundRobin);
  ~DomainListCore();

  bool Lookup(const char* name, bool inactiveResult) const;
  // Fetches a URL; with a source, stores it (and makes the list active) once the URL opened.
  bool LoadUrl(const std::string& url, const std::string* source);
  bool LoadFile(const std::string& path, bool setSource);
  // The URL after the cursor of the source list, advancing the cursor (round robin).
  std::string NextSourceUrl();

 private:
  void Swap(std::unique_ptr<DomainNameSet>& fresh);

  char name_[32];
  char lowerName_[32];
  const char* printVerb_;
  const bool roundRobin_;
  std::atomic<bool> log_{false};

  mutable SpinRWLock lock_;
  std::unique_ptr<DomainNameSet> entries_;
  bool active_ = false;
  std::string sourceFile_;
  std::string sourceUrls_;
  size_t cursor_ = 0;
  std::string userAgent_;
  UrlFetchOptions fetchOptions_;
};

class AllowedList : public DomainListCore {
 public:
  explicit AllowedList(const char* name = "Domains");
  virtual ~AllowedList();

  // Listed -> true; inactive list -> the allow-when-inactive value; null name -> false.
  bool IsAllowed(const char* name) const { return name != nullptr && Lookup(name, allowWhenInactive_); }
  void SetAllowWhenInactive(bool allow) { allowWhenInactive_.store(allow); }
  // URLs separated by "," or "\n" (a "\r" before a separator is ignored). Fetches the first and
  // keeps the list as source; each Reload fetches the next, the first again after the last.
  // "%s Url too long" for a list of 1040 characters or more or a first URL of 260 or more.
  bool LoadFromUrls(const char* urls);

 private:
  std::atomic<bool> allowWhenInactive_{false};
};

class AllowedDomainList : public AllowedList {
 public:
  AllowedDomainList() : AllowedList("Domains") {}
};

class DeniedList : public DomainListCore {
 public:
  explicit DeniedList(const char* name = "Domains");
  virtual ~DeniedList();

  // Listed -> true; inactive list or null name -> false.
  bool IsDenied(const char* name) const { return name != nullptr && Lookup(name, false); }
  // One URL, fetched now and again at every Reload. "%s Url too long" at 260 characters or more.
  bool LoadFromUrl(const char* url);
};

class DeniedDomainList : public DeniedList {
 public:
  DeniedDomainList() : DeniedList("Domains") {}
};
