// Fuzz target for the zone file reader: any text is read as a domain info file; the zone that
// results must be consistent (count, list, owners) and every record must answer a question for
// its own name with a response that parses back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "dns/dns_message.h"
#include "dns/zone_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DomainInfo* zone = domain_info_new();
  if (!zone) return 0;
  int rc = domain_info_parse_text(zone, reinterpret_cast<const char*>(data), size, "fuzz.test");
  if (rc != 0 && rc != DNS_ERR_NO_ROOM) abort();
  if (strnlen(zone->origin, sizeof zone->origin) >= sizeof zone->origin) abort();

  int listed = 0;
  static uint8_t msg[kDnsMaxMessage];
  for (const DnsRecord* r = zone->head; r; r = r->next) {
    ++listed;
    if (!r->name || strlen(r->name) == 0 || strlen(r->name) > kDnsMaxName) abort();
    if (listed > 64) continue;
    char name[kDnsMaxName + 1];
    strcpy(name, r->name);
    for (uint16_t qtype : {r->type, static_cast<uint16_t>(DNS_TYPE_A)}) {
      DnsQuestion q{name, qtype, DNS_CLASS_IN};
      int len = dns_make_response(&q, msg, 1, 0x0100, 0, zone);
      if (len < 0) {
        if (len != DNS_ERR_MALFORMED) abort();  // a label over 63 bytes
        continue;
      }
      if (static_cast<size_t>(len) > kDnsMaxMessage) abort();
      if ((msg[3] & 0xF) == DNS_RCODE_NXDOMAIN) abort();  // the owner exists
      DnsHeader h;
      DnsQuestion back;
      DnsRecord recs[16];
      size_t count = 16;
      char names[kDnsNameBufferSize];
      int prc = dns_parse_response(msg, static_cast<size_t>(len), &h, &back, recs, &count, names);
      // Names from zone files may hold any byte; only well-formed structure is required here.
      if (prc == DNS_ERR_MALFORMED || prc == DNS_ERR_MULTI_QUESTION || prc == DNS_ERR_NO_QUESTION) abort();
    }
  }
  if (listed != zone->count) abort();
  domain_info_free(&zone);
  return 0;
}
