#include "db/zone_rows.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "dns/zone_file.h"

namespace {

constexpr size_t kMaxSoaText = 1023;  // the SOA and MX data texts
constexpr int64_t kMaxTTL = 2147483647;

// The one check every text value of a row passes: no NUL byte (the record constructors read
// C texts) and no more than kDbMaxRowText characters.
bool UsableText(const std::string& text) {
  return text.size() <= kDbMaxRowText && std::memchr(text.data(), '\0', text.size()) == nullptr;
}

// RFC 2181: a TTL outside 0..2^31-1 is taken as 0.
uint32_t ClampTTL(int64_t value) {
  return value < 0 || value > kMaxTTL ? 0u : static_cast<uint32_t>(value);
}

}  // namespace

bool DbZoneFromRow(const DbZoneRow& row, std::string* key, DomainInfo** zone) {
  *zone = nullptr;
  const std::string& name = row.zoneName;
  if (name.empty() || !UsableText(name)) return false;
  std::string zoneName, soaOwner;
  if (name.back() == '.') {
    zoneName = name.substr(0, name.size() - 1);
    soaOwner = name;
  } else {
    zoneName = name;
    soaOwner = name + ".";
  }
  // The zone name, like every name, holds at most 255 characters; the root alone is no zone.
  if (zoneName.empty() || zoneName.size() >= sizeof(DomainInfo::origin) ||
      (name.back() != '.' && name.size() >= 255))
    return false;

  DomainInfo* z = domain_info_new();
  if (z == nullptr) return false;
  std::memcpy(z->origin, zoneName.c_str(), zoneName.size() + 1);

  if (UsableText(row.nameServer1) && UsableText(row.responsibleMailAddr)) {
    char soa[kMaxSoaText + 1];
    int n = std::snprintf(soa, sizeof(soa), "%s %s %lld %lld %lld %lld %lld", row.nameServer1.c_str(),
                          row.responsibleMailAddr.c_str(), static_cast<long long>(row.serial),
                          static_cast<long long>(row.refresh), static_cast<long long>(row.retry),
                          static_cast<long long>(row.expire), static_cast<long long>(row.defaultTTL));
    if (n > 0 && static_cast<size_t>(n) <= kMaxSoaText) {
      DnsRecord* rec = dns_record_new_soa(soaOwner.c_str(), DNS_CLASS_IN, ClampTTL(row.defaultTTL), soa, z->origin);
      if (rec != nullptr) domain_info_add(z, rec);
    }
  }

  key->clear();
  for (char c : zoneName) *key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  *zone = z;
  return true;
}

DnsRecord* DbRecordFromRow(const DbResourceRow& row, const DomainInfo* zone, int64_t defaultTTL) {
  if (zone == nullptr) return nullptr;
  if (!UsableText(row.rName) || !UsableText(row.rType) || !UsableText(row.rClass) || !UsableText(row.rData))
    return nullptr;

  uint32_t ttl = row.ttl < 1 ? ClampTTL(defaultTTL) : ClampTTL(row.ttl);

  const char* rest = nullptr;
  int type = dns_type_from_text(row.rType.c_str(), &rest);
  if (type <= 0 || rest == nullptr || *rest != '\0') return nullptr;
  rest = nullptr;
  int cls = dns_class_from_text(row.rClass.c_str(), &rest);
  if (cls < 0 || rest == nullptr || *rest != '\0') cls = DNS_CLASS_IN;

  const char* owner = row.rName.c_str();
  const char* data = row.rData.c_str();
  const char* origin = zone->origin;
  const uint16_t c = static_cast<uint16_t>(cls);
  switch (type) {
    case DNS_TYPE_A:
      return dns_record_new_a(owner, c, ttl, data, origin);
    case DNS_TYPE_NS:
    case DNS_TYPE_MD:
    case DNS_TYPE_MF:
    case DNS_TYPE_CNAME:
    case DNS_TYPE_MB:
    case DNS_TYPE_MG:
    case DNS_TYPE_MR:
    case DNS_TYPE_PTR:
      return dns_record_new_name(owner, static_cast<uint16_t>(type), c, ttl, data, origin);
    case DNS_TYPE_MX: {
      char mx[kMaxSoaText + 1];
      int n = std::snprintf(mx, sizeof(mx), "%lld %s", static_cast<long long>(row.preference), data);
      if (n <= 0 || static_cast<size_t>(n) > kMaxSoaText) return nullptr;
      return dns_record_new_mx(owner, c, ttl, mx, origin);
    }
    case DNS_TYPE_TXT:
      return dns_record_new_txt(owner, c, ttl, data, origin, true);
    case DNS_TYPE_AAAA:
      return dns_record_new_aaaa(owner, c, ttl, data, origin);
    default:
      return nullptr;
  }
}
