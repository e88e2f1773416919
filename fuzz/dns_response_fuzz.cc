// Fuzz target for response parsing and name decoding: any datagram is parsed as an upstream
// response into 64 record slots and a 2048-byte name buffer; every text it yields must lie inside
// that buffer. Names are also decoded from each of the first bytes as a start position.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dns/dns_message.h"

namespace {

void CheckText(const char* text, const char* buffer, size_t size) {
  if (!text) return;
  if (text < buffer || text >= buffer + size) abort();
  if (strnlen(text, static_cast<size_t>(buffer + size - text)) >= static_cast<size_t>(buffer + size - text))
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  DnsHeader header;
  DnsQuestion question;
  DnsRecord records[64];
  size_t count = 64;
  char names[kDnsNameBufferSize];
  int rc = dns_parse_response(data, size, &header, &question, records, &count, names);
  if (rc == 0) {
    if (count > 64) abort();
    CheckText(question.name, names, sizeof names);
    for (size_t i = 0; i < count; ++i) {
      const DnsRecord& r = records[i];
      CheckText(r.name, names, sizeof names);
      switch (r.type) {
        case DNS_TYPE_SOA:
          CheckText(r.soa->mname, names, sizeof names);
          CheckText(r.soa->rname, names, sizeof names);
          break;
        case DNS_TYPE_MX:
          CheckText(r.mx->exchanger, names, sizeof names);
          break;
        case DNS_TYPE_NS: case DNS_TYPE_MD: case DNS_TYPE_MF: case DNS_TYPE_CNAME:
        case DNS_TYPE_MB: case DNS_TYPE_MG: case DNS_TYPE_MR: case DNS_TYPE_PTR:
        case DNS_TYPE_TXT:
          CheckText(r.str, names, sizeof names);
          break;
        default:
          break;
      }
    }
  }
  for (size_t start = 0; start < size && start < 48; ++start) {
    char out[256];
    size_t pos = start;
    int n = dns_read_name(size, data, out, sizeof out, &pos);
    if (strnlen(out, sizeof out) >= sizeof out) abort();
    if (n > 0 && (pos > size || pos <= start || static_cast<size_t>(n) != strlen(out) + 1)) abort();
  }
  return 0;
}
