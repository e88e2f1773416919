// The domain info cache inside DNSCache, and the two answers from local zones.
#include "dns/dns_cache.h"

#include <cstring>

#include "dns/zone_file.h"
#include "shell/log.h"
#include "shell/platform.h"

namespace {

constexpr size_t kInitialBuckets = 8;

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

const char* SkipDots(const char* p) {
  while (*p == '.') ++p;
  return p;
}

// Lower-cases text into key, reusing key's storage.
void AssignLower(std::string& key, const char* text, size_t n) {
  key.resize(n);
  for (size_t i = 0; i < n; ++i) key[i] = Lower(text[i]);
}

// A zone is valid forever when untimed (loaded <= 0), else while now - loaded is below the TTL.
bool IsValid(const DomainInfo* zone, uint32_t ttl, int64_t now) {
  return zone->loaded <= 0 || now - zone->loaded < static_cast<int64_t>(ttl);
}

}  // namespace

DNSCache::DNSCache() : zones_(kInitialBuckets) { lookupKey_.reserve(kDnsMaxName + 1); }

DNSCache::~DNSCache() { ClearDomainInfoCache(this); }

DomainInfo* LookupDomainInfo(DNSCache* cache, const char** nameCursor) {
  if (!cache || !nameCursor || !*nameCursor || cache->zones_.empty()) return nullptr;
  std::string& key = cache->lookupKey_;
  for (const char* s = SkipDots(*nameCursor); *s;) {
    const char* dot = std::strchr(s, '.');
    AssignLower(key, s, std::strlen(s));
    auto it = cache->zones_.find(key);
    if (it != cache->zones_.end()) {
      DomainInfo* zone = it->second;
      if (IsValid(zone, cache->TTL(), zone->loaded > 0 ? NowSeconds() : 0)) {
        *nameCursor = s;
        return zone;
      }
      // Expired: dropped here, and the caller reads the file again.
      domain_info_free(&zone);
      cache->zones_.erase(it);
      return nullptr;
    }
    if (!dot) break;
    s = SkipDots(dot);
  }
  return nullptr;
}

bool CacheDomainInfo(const char* name, DNSCache* cache, DomainInfo* zone, bool timed) {
  if (!name || !cache || !zone) return false;
  name = SkipDots(name);
  if (!*name) return false;
  std::string key;
  AssignLower(key, name, std::strlen(name));
  CriticalLockGuard guard(cache->lock_, kDnsCacheSiteInsert);
  const int64_t now = NowSeconds();
  auto it = cache->zones_.find(key);
  if (it != cache->zones_.end()) {
    if (it->second == zone) return true;  // already the cache's own zone
    if (timed && IsValid(it->second, cache->TTL(), now)) return false;
    domain_info_free(&it->second);
    zone->loaded = timed ? now : 0;
    it->second = zone;
    return true;
  }
  zone->loaded = timed ? now : 0;
  cache->zones_.emplace(std::move(key), zone);
  return true;
}

bool RemoveDomainInfo(const char* name, DNSCache* cache) {
  if (!name || !cache) return false;
  name = SkipDots(name);
  std::string key;
  AssignLower(key, name, std::strlen(name));
  CriticalLockGuard guard(cache->lock_, kDnsCacheSiteRemove);
  auto it = cache->zones_.find(key);
  if (it == cache->zones_.end()) return false;
  domain_info_free(&it->second);
  cache->zones_.erase(it);
  return true;
}

void ClearDomainInfoCache(DNSCache* cache) {
  if (!cache) return;
  CriticalLockGuard guard(cache->lock_, kDnsCacheSiteClear);
  for (auto& entry : cache->zones_) domain_info_free(&entry.second);
  DNSCache::ZoneMap empty(kInitialBuckets);
  cache->zones_.swap(empty);
}

bool ListCachedDomains(DNSCache* cache, std::map<std::string, DomainInfo*>* out) {
  if (!cache || !out) return false;
  CriticalLockGuard guard(cache->lock_, kDnsCacheSiteList);
  for (const auto& entry : cache->zones_) (*out)[entry.first] = nullptr;
  return true;
}

int MakeResponseFromCache(const DnsQuestion* question, DNSCache* cache, uint8_t* message,
                          uint16_t id, uint16_t flags) {
  if (!question || !question->name || !cache || !message) return DNS_ERR_MISSING;
  // The response is built under the lock, so the zone cannot be freed while it is read.
  CriticalLockGuard guard(cache->Lock(), kDnsCacheSiteAnswer);
  const char* cursor = question->name;
  const DomainInfo* zone = LookupDomainInfo(cache, &cursor);
  if (!zone) return 0;
  return dns_make_response(question, message, id, flags, DNS_RCODE_OK, zone);
}

int MakeResponseFromFile(const DnsQuestion* question, DNSCache* cache, uint8_t* message,
                         uint16_t id, uint16_t flags) {
  if (!question || !question->name || !cache || !message) return DNS_ERR_MISSING;
  const char* cursor = question->name;
  DomainInfo* zone = nullptr;
  int rc = cache->Directory().LoadDomainInfo(&cursor, &zone);
  if (rc != 0) {
    if (cache->Log() && rc != DNS_ERR_NO_FILE) LogMessage("Parse domain file failed with error: %i", rc);
    return 0;
  }
  // The zone is still private to this request: no lock is needed to answer from it.
  int length = dns_make_response(question, message, id, flags, DNS_RCODE_OK, zone);
  if (cache->TTL() == 0 || !CacheDomainInfo(cursor, cache, zone, true)) domain_info_free(&zone);
  return length;
}
