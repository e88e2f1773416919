// Zone cache interface placeholder: answers nothing until the domain directory lands.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include "dns/dns_message.h"
#include "shell/locks.h"
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
  virtual ~DNSCache() {}
  void SetTTL(uint32_t s) { ttl_ = s; }
  uint32_t TTL() const { return ttl_; }
  void SetLog(bool) {}
  DNSDirectory& Directory() { return dir_; }
  CriticalLock& Lock() { return lock_; }
 private:
  uint32_t ttl_ = 0; DNSDirectory dir_; CriticalLock lock_;
};
inline int MakeResponseFromCache(const DnsQuestion*, DNSCache*, uint8_t*, uint16_t, uint16_t) { return 0; }
inline int MakeResponseFromFile(const DnsQuestion*, DNSCache*, uint8_t*, uint16_t, uint16_t) { return 0; }
