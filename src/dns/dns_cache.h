// Local zones: the domain directory that finds and reads the zone file for a queried name (a
// folder whose file names are domain names, or an index file that maps names to files), and the
// domain info cache that keeps parsed zones in memory by lower-case name, for DNSCacheTTL seconds
// (zones read from files) or for ever (database zones). MakeResponseFromCache and
// MakeResponseFromFile answer one question from them.
//
// Owns: the directory and index file paths, and every zone entered into the cache. Does not own
// the question, the message buffer or the response rings (those belong to the server).
//
// Thread safety: DNSCache is shared by the service packet thread (answers), settings reloads and
// the database zone-reload thread. The zone map is reached only under the DNSCache lock (Lock());
// every function below takes it itself except LookupDomainInfo, whose caller holds it. The
// directory paths have their own small lock and are copied before use; TTL and log flag are
// atomics. A zone read from a file is private to its request until the cache takes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "dns/dns_message.h"
#include "shell/locks.h"

// Error codes of the domain directory, after the codec's (dns_message.h).
enum DnsDirectoryError : int {
  DNS_ERR_NO_FILE = -9,       // nothing configured, the name is no valid file name, or no file
  DNS_ERR_OPEN_ENOENT = -10,  // the file was chosen but opening it failed with error number 2
  DNS_ERR_OPEN_ESRCH = -11,   // ... with error number 3
  DNS_ERR_OPEN_EINTR = -12,   // ... with error number 4
  DNS_ERR_OPEN_EIO = -13,     // ... with error number 5
  DNS_ERR_PATH_LONG = -14,    // the path would be 260 characters or longer
  DNS_ERR_OPEN_OTHER = -15,   // any other open error (also: not a regular file)
};

constexpr size_t kDnsPathSize = 260;         // path buffers; 259 characters usable
constexpr size_t kDnsIndexLineSize = 4096;   // index file line buffer; 4095 characters a line

// Lock-site codes of the DNSCache lock.
enum DnsCacheLockSite : int32_t {
  kDnsCacheSiteClear = 20201,
  kDnsCacheSiteAnswer = 20202,
  kDnsCacheSiteInsert = 20205,
  kDnsCacheSiteRemove = 20206,
  kDnsCacheSiteList = 20207,
};

struct DomainInfo;

// Where zone files are found: DNSDomainsDir and DNSDomainsFile. With an index file set, the index
// decides and the directory only serves as base of its relative paths; otherwise the directory
// is searched for a file named after the queried name or one of its suffixes.
class DNSDirectory {
 public:
  DNSDirectory();
  virtual ~DNSDirectory();
  DNSDirectory(const DNSDirectory&) = delete;
  DNSDirectory& operator=(const DNSDirectory&) = delete;

  // "" clears. Text of 260 or more characters fails; a "/" is appended unless the text ends in
  // "/" or "\", and the result must stay within 259 characters.
  bool SetDirectory(const char* text);
  // "" clears; 260 or more characters fail.
  bool SetIndexFile(const char* text);
  std::string DirectoryPath() const;
  std::string IndexFilePath() const;

  // Finds the file for the name at *nameCursor and reads it into a new zone. On success (0)
  // *nameCursor points at the suffix of the name for which the file was found and *zone is the new
  // zone, read with that suffix as origin; the caller owns it. Errors: -9 to -15 (above), -2 (a
  // parenthesised record too long, or no memory), -3 (missing argument).
  int LoadDomainInfo(const char** nameCursor, DomainInfo** zone);

 private:
  // Copies both paths under the lock.
  void CopyPaths(char* directory, char* indexFile) const;

  mutable std::mutex pathsLock_;
  char directory_[kDnsPathSize];
  char indexFile_[kDnsPathSize];
};

class DNSCache {
 public:
  DNSCache();
  // Clears the domain info cache, then releases the rest.
  virtual ~DNSCache();
  DNSCache(const DNSCache&) = delete;
  DNSCache& operator=(const DNSCache&) = delete;

  // DNSCacheTTL: seconds a zone read from a file stays valid; 0 = such zones are not kept.
  void SetTTL(uint32_t seconds) { ttl_.store(seconds, std::memory_order_relaxed); }
  uint32_t TTL() const { return ttl_.load(std::memory_order_relaxed); }
  // The Log setting: enables "Parse domain file failed with error: %i".
  void SetLog(bool on) { log_.store(on, std::memory_order_relaxed); }
  bool Log() const { return log_.load(std::memory_order_relaxed); }
  DNSDirectory& Directory() { return directory_; }
  CriticalLock& Lock() { return lock_; }

 private:
  using ZoneMap = std::unordered_map<std::string, DomainInfo*>;

  friend DomainInfo* LookupDomainInfo(DNSCache* cache, const char** nameCursor);
  friend bool CacheDomainInfo(const char* name, DNSCache* cache, DomainInfo* zone, bool timed);
  friend bool RemoveDomainInfo(const char* name, DNSCache* cache);
  friend void ClearDomainInfoCache(DNSCache* cache);
  friend bool ListCachedDomains(DNSCache* cache, std::map<std::string, DomainInfo*>* out);

  std::atomic<uint32_t> ttl_{0};
  std::atomic<bool> log_{false};
  ZoneMap zones_;
  std::string lookupKey_;  // lower-case suffix being looked up; used under the lock only
  CriticalLock lock_;
  DNSDirectory directory_;
};

// The cached zone covering the name at *nameCursor: the longest suffix (leading dots skipped)
// with a valid zone; *nameCursor then points at it. An expired zone met on the way is freed and
// removed, and ends the search with none. The caller holds cache->Lock().
DomainInfo* LookupDomainInfo(DNSCache* cache, const char** nameCursor);
// Enters zone under the lower-case name (leading dots skipped). A timed insert over a cached zone
// that is still valid is refused (false: the caller keeps its zone); otherwise a cached zone of
// that name is freed and replaced. timed: loaded = now (expires after the TTL); untimed: loaded =
// 0 (never expires). True when the cache took ownership.
bool CacheDomainInfo(const char* name, DNSCache* cache, DomainInfo* zone, bool timed);
// Frees and removes the zone of that name; true when there was one.
bool RemoveDomainInfo(const char* name, DNSCache* cache);
// Frees every cached zone.
void ClearDomainInfoCache(DNSCache* cache);
// Enters the name of every cached zone into *out with a null zone; true (false without out).
bool ListCachedDomains(DNSCache* cache, std::map<std::string, DomainInfo*>* out);

// Answers question from the cached zone that covers its name, built into message (8192 bytes)
// with the whole build under the lock. Returns the response length, 0 when no cached zone covers
// the name, or a negative error of dns_make_response (-3 for missing arguments).
int MakeResponseFromCache(const DnsQuestion* question, DNSCache* cache, uint8_t* message,
                          uint16_t id, uint16_t flags);
// Answers question from the zone file found for its name, then offers the zone to the cache
// (timed) when the TTL is not 0. Returns the response length, 0 when no file answers (with the
// log flag, failures other than -9 are written as "Parse domain file failed with error: %i"), or
// a negative error of dns_make_response.
int MakeResponseFromFile(const DnsQuestion* question, DNSCache* cache, uint8_t* message,
                         uint16_t id, uint16_t flags);

// Pieces of the directory search and of the index file reader, open for the tests and the fuzz
// target.
namespace dnsdir {

// Whether a queried name may be used as a file name in the directory: not empty; no byte of 32
// or below, above 127, nor < > : " / \ |; a first label that is not empty and not a reserved
// device name (CON, PRN, AUX, CLOCK$, NUL, COM1-9, LPT1-9, in any case).
bool IsValidFileName(const char* name);

// One index file line, split. The views point into the line.
struct IndexLine {
  const char* key;
  size_t keyLength;
  const char* value;
  size_t valueLength;
  bool absolute;  // the value is a complete path ("/..." or holding ':')
};
// Splits one line (without its line feed; length bytes, need not be NUL-terminated) into key and
// value. False for lines to skip: empty, no separator, a blank after the key not followed by
// , ; =, a quoted value that does not end the line, an empty key or value, a NUL byte.
bool ParseIndexLine(const char* line, size_t length, IndexLine* out);

// Searches index text (size bytes) for name: the first line whose key equals a suffix of name
// (case-insensitive) wins. On success *suffix points into name and the value is copied into
// value (valueSize bytes, kDnsPathSize is enough) with *absolute set. 0 or -9.
int FindIndexEntryText(const char* data, size_t size, const char* name, const char** suffix,
                       char* value, size_t valueSize, bool* absolute);

// The path of a zone named by an index value: a complete path as it stands; otherwise relative
// to directory when it is not empty, else to the folder of indexFile. out holds kDnsPathSize
// bytes. 0, or -14 when the path would be 260 characters or longer.
int BuildIndexedPath(const char* directory, const char* indexFile, const char* value,
                     bool absolute, char* out);

}  // namespace dnsdir
