// Zone cache interface placeholder: a plain map of zones with the interface of the domain info
// cache, so the database zones can be built and tried before the domain directory lands.
#pragma once
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include "dns/dns_message.h"
#include "dns/zone_file.h"
#include "shell/locks.h"
#include "shell/platform.h"
class DNSDirectory {
 public:
  virtual ~DNSDirectory() {}
  bool SetDirectory(const char* text) { dir_ = text; return true; }
  bool SetIndexFile(const char* text) { index_ = text; return true; }
  std::string DirectoryPath() const { return dir_; }
  std::string IndexFilePath() const { return index_; }
  int LoadDomainInfo(const char**, DomainInfo**) { return -9; }
 private:
  std::string dir_, index_;
};
class DNSCache {
 public:
  DNSCache() {}
  virtual ~DNSCache() {
    for (auto& entry : zones_) domain_info_free(&entry.second);
  }
  void SetTTL(uint32_t s) { ttl_ = s; }
  uint32_t TTL() const { return ttl_; }
  void SetLog(bool) {}
  DNSDirectory& Directory() { return dir_; }
  CriticalLock& Lock() { return lock_; }
  std::map<std::string, DomainInfo*>& Zones() { return zones_; }
 private:
  uint32_t ttl_ = 0; DNSDirectory dir_; CriticalLock lock_;
  std::map<std::string, DomainInfo*> zones_;
};
inline std::string DnsCacheKey(const char* name) {
  std::string key(name);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return key;
}
inline DomainInfo* LookupDomainInfo(DNSCache* cache, const char** nameCursor) {
  for (const char* p = *nameCursor; p != nullptr && *p != '\0';) {
    auto it = cache->Zones().find(DnsCacheKey(p));
    if (it != cache->Zones().end()) {
      *nameCursor = p;
      return it->second;
    }
    p = std::strchr(p, '.');
    if (p != nullptr) ++p;
  }
  return nullptr;
}
inline bool CacheDomainInfo(const char* name, DNSCache* cache, DomainInfo* zone, bool timed) {
  CriticalLockGuard guard(cache->Lock(), 20201);
  zone->loaded = timed ? NowSeconds() : 0;
  DomainInfo*& slot = cache->Zones()[DnsCacheKey(name)];
  if (slot != nullptr && slot != zone) domain_info_free(&slot);
  slot = zone;
  return true;
}
inline bool RemoveDomainInfo(const char* name, DNSCache* cache) {
  CriticalLockGuard guard(cache->Lock(), 20202);
  auto it = cache->Zones().find(DnsCacheKey(name));
  if (it == cache->Zones().end()) return false;
  domain_info_free(&it->second);
  cache->Zones().erase(it);
  return true;
}
inline void ClearDomainInfoCache(DNSCache* cache) {
  CriticalLockGuard guard(cache->Lock(), 20203);
  for (auto& entry : cache->Zones()) domain_info_free(&entry.second);
  cache->Zones().clear();
}
inline bool ListCachedDomains(DNSCache* cache, std::map<std::string, DomainInfo*>* names) {
  CriticalLockGuard guard(cache->Lock(), 20207);
  for (auto& entry : cache->Zones()) (*names)[entry.first] = nullptr;
  return true;
}
inline int MakeResponseFromCache(const DnsQuestion* q, DNSCache* cache, uint8_t* msg, uint16_t id, uint16_t flags) {
  CriticalLockGuard guard(cache->Lock(), 20204);
  const char* cursor = q->name;
  DomainInfo* zone = LookupDomainInfo(cache, &cursor);
  if (zone == nullptr) return 0;
  return dns_make_response(q, msg, id, flags, 0, zone);
}
inline int MakeResponseFromFile(const DnsQuestion*, DNSCache*, uint8_t*, uint16_t, uint16_t) { return 0; }
