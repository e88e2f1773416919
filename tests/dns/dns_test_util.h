// Helpers shared by the DNS library tests: one canonical text line per record (the same form the
// Python cross-check scripts print), zones from text, and wire bytes from readable pieces.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dns/dns_message.h"
#include "dns/zone_file.h"

namespace dnstest {

// "owner ttl CLASS TYPE data". Data: A dotted; AAAA the eight groups as four hex digits each;
// name types the target; SOA "mname rname serial refresh retry expire minimum"; MX "pref exch";
// TXT the text with bytes outside 0x20-0x7e as \DDD; other types nothing.
inline std::string Render(const DnsRecord& r) {
  char buf[64];
  std::string s = r.name ? r.name : "(null)";
  std::snprintf(buf, sizeof buf, " %u %s %s", r.ttl, dns_class_name(r.class_), dns_type_name(r.type));
  s += buf;
  switch (r.type) {
    case DNS_TYPE_A:
      std::snprintf(buf, sizeof buf, " %u.%u.%u.%u", r.ip4[0], r.ip4[1], r.ip4[2], r.ip4[3]);
      s += buf;
      break;
    case DNS_TYPE_AAAA:
      s += ' ';
      for (int i = 0; i < 16; i += 2) {
        std::snprintf(buf, sizeof buf, "%s%02x%02x", i ? ":" : "", r.ip6[i], r.ip6[i + 1]);
        s += buf;
      }
      break;
    case DNS_TYPE_SOA:
      std::snprintf(buf, sizeof buf, " %u %u %u %u %u", r.soa->serial, r.soa->refresh,
                    r.soa->retry, r.soa->expire, r.soa->minimum);
      s += std::string(" ") + r.soa->mname + " " + r.soa->rname + buf;
      break;
    case DNS_TYPE_MX:
      std::snprintf(buf, sizeof buf, " %u ", r.mx->preference);
      s += buf;
      s += r.mx->exchanger;
      break;
    case DNS_TYPE_TXT:
      s += ' ';
      for (const unsigned char* p = reinterpret_cast<const unsigned char*>(r.str); *p; ++p) {
        if (*p >= 0x20 && *p < 0x7f && *p != '\\') {
          s += static_cast<char>(*p);
        } else {
          std::snprintf(buf, sizeof buf, "\\%03u", *p);
          s += buf;
        }
      }
      break;
    case DNS_TYPE_NS: case DNS_TYPE_MD: case DNS_TYPE_MF: case DNS_TYPE_CNAME:
    case DNS_TYPE_MB: case DNS_TYPE_MG: case DNS_TYPE_MR: case DNS_TYPE_PTR:
      s += std::string(" ") + r.str;
      break;
    default:
      break;
  }
  return s;
}

inline std::vector<std::string> RenderZone(const DomainInfo* zone) {
  std::vector<std::string> out;
  for (const DnsRecord* r = zone->head; r; r = r->next) out.push_back(Render(*r));
  return out;
}

// A zone read from text; the caller frees it with domain_info_free.
inline DomainInfo* ZoneFromText(const std::string& text, const char* origin, int* rc = nullptr) {
  DomainInfo* zone = domain_info_new();
  int r = domain_info_parse_text(zone, text.data(), text.size(), origin);
  if (rc) *rc = r;
  return zone;
}

// Owns a zone for the length of a test.
struct ZoneHolder {
  DomainInfo* zone;
  explicit ZoneHolder(DomainInfo* z) : zone(z) {}
  ~ZoneHolder() { domain_info_free(&zone); }
  ZoneHolder(const ZoneHolder&) = delete;
  ZoneHolder& operator=(const ZoneHolder&) = delete;
};

// Wire bytes from pieces: numbers are single bytes, strings are copied as they stand.
struct Bytes {
  std::vector<uint8_t> v;
  Bytes& u8(int b) { v.push_back(static_cast<uint8_t>(b)); return *this; }
  Bytes& u16(int w) { v.push_back(static_cast<uint8_t>(w >> 8)); v.push_back(static_cast<uint8_t>(w)); return *this; }
  Bytes& u32(uint32_t w) { u16(static_cast<int>(w >> 16)); return u16(static_cast<int>(w & 0xFFFF)); }
  Bytes& str(const std::string& s) { v.insert(v.end(), s.begin(), s.end()); return *this; }
  // A name as labels: "www.example.com" -> 3www7example3com0.
  Bytes& name(const std::string& dotted) {
    size_t start = 0;
    while (start < dotted.size()) {
      size_t dot = dotted.find('.', start);
      if (dot == std::string::npos) dot = dotted.size();
      u8(static_cast<int>(dot - start));
      str(dotted.substr(start, dot - start));
      start = dot + 1;
    }
    return u8(0);
  }
  Bytes& header(int id, int flags, int qd, int an, int ns, int ar) {
    return u16(id).u16(flags).u16(qd).u16(an).u16(ns).u16(ar);
  }
  size_t size() const { return v.size(); }
  const uint8_t* data() const { return v.data(); }
};

}  // namespace dnstest
