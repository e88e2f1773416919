// Fuzz target for the database rows that become zones: the input is one DNSZones row and any
// number of DNSResources rows, one column per line (NUL bytes allowed inside a column):
//   ZoneName, NameServer1, ResponsibleMailAddr, Serial, Refresh, Retry, Expire, DefaultTTL
//   then per record: RName, RType, RClass, TTL, RData, Preference
// Integer columns are read as decimal numbers. Every record made is added to the zone, and a
// response is built for each record's owner and type, so what the rows put into a zone is also
// what the answers are made of.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db/zone_rows.h"
#include "dns/dns_message.h"
#include "dns/zone_file.h"

namespace {

int64_t Number(const std::string& text) {
  std::string bounded = text.substr(0, 24);
  return std::strtoll(bounded.c_str(), nullptr, 10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> fields;
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\n') {
      fields.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  fields.push_back(current);
  if (fields.size() < 8) return 0;

  DbZoneRow zoneRow;
  zoneRow.id = 1;
  zoneRow.zoneName = fields[0];
  zoneRow.nameServer1 = fields[1];
  zoneRow.responsibleMailAddr = fields[2];
  zoneRow.serial = Number(fields[3]);
  zoneRow.refresh = Number(fields[4]);
  zoneRow.retry = Number(fields[5]);
  zoneRow.expire = Number(fields[6]);
  zoneRow.defaultTTL = Number(fields[7]);
  std::string key;
  DomainInfo* zone = nullptr;
  if (!DbZoneFromRow(zoneRow, &key, &zone)) {
    if (zone != nullptr) std::abort();  // a skipped row allocates nothing
    return 0;
  }
  if (zone == nullptr || key.size() > kDnsMaxName || std::strlen(zone->origin) != key.size()) std::abort();

  for (size_t f = 8; f + 6 <= fields.size(); f += 6) {
    DbResourceRow row;
    row.rName = fields[f];
    row.rType = fields[f + 1];
    row.rClass = fields[f + 2];
    row.ttl = Number(fields[f + 3]);
    row.rData = fields[f + 4];
    row.preference = Number(fields[f + 5]);
    if (DnsRecord* rec = DbRecordFromRow(row, zone, zoneRow.defaultTTL)) {
      if (rec->name == nullptr || std::strlen(rec->name) > kDnsMaxName) std::abort();
      domain_info_add(zone, rec);
    }
  }

  static uint8_t message[kDnsMaxMessage];
  for (const DnsRecord* rec = zone->head; rec != nullptr; rec = rec->next) {
    char name[kDnsMaxName + 1];
    std::strncpy(name, rec->name, sizeof(name) - 1);
    name[sizeof(name) - 1] = '\0';
    DnsQuestion question{name, rec->type, rec->class_};
    int n = dns_make_response(&question, message, 0x1234, 0x0100, 0, zone);
    if (n > static_cast<int>(kDnsMaxMessage)) std::abort();
  }
  domain_info_free(&zone);
  return 0;
}
