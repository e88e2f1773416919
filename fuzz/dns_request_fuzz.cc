// Fuzz target for request parsing and answering: any datagram is parsed as a request; a request
// that parses is answered in place from a small zone (CNAME chains and loops, SOAs, every record
// type), and the answer must be a well-formed message of at most 8192 bytes that parses back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dns/dns_message.h"
#include "dns/zone_file.h"

namespace {

const char kZone[] =
    "$TTL 300\n"
    "@ SOA ns1 admin 1 2 3 4 5\n"
    "@ NS ns1\n"
    "@ MX 10 mail\n"
    "www A 10.0.0.1\n"
    "www AAAA 2001:db8::1\n"
    "a CNAME b\n"
    "b CNAME www\n"
    "loop1 CNAME loop2\n"
    "loop2 CNAME loop1\n"
    "t TXT \"some text\"\n"
    "sub SOA ns.sub admin.sub 2 3 4 5 6\n"
    "1.0.0.10.in-addr.arpa. PTR www\n";

DomainInfo* Zone() {
  static DomainInfo* zone = [] {
    DomainInfo* z = domain_info_new();
    domain_info_parse_text(z, kZone, sizeof kZone - 1, "fuzz.test");
    return z;
  }();
  return zone;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DnsHeader header;
  DnsQuestion question;
  char names[kDnsNameBufferSize];
  int rc = dns_parse_request(&header, data, size, &question, names);
  if (strnlen(names, sizeof names) >= sizeof names) abort();
  if (rc != 0) return 0;

  // Answer over a copy of the request, as the server does with its receive buffer.
  static uint8_t msg[kDnsMaxMessage];
  memcpy(msg, data, size < sizeof msg ? size : sizeof msg);
  int len = dns_make_response(&question, msg, header.id, header.flags, 0, Zone());
  if (len < 0) {
    if (len != DNS_ERR_MALFORMED && len != DNS_ERR_NO_ROOM) abort();  // long labels, no room
    return 0;
  }
  if (len < 12 || static_cast<size_t>(len) > kDnsMaxMessage) abort();

  DnsHeader back;
  DnsQuestion q2;
  DnsRecord records[64];
  size_t count = 64;
  char names2[kDnsNameBufferSize];
  if (dns_parse_response(msg, static_cast<size_t>(len), &back, &q2, records, &count, names2) != 0)
    abort();
  if (back.id != header.id || (back.flags & 0x8000) == 0 || q2.qtype != question.qtype) abort();
  return 0;
}
