// Database zone rows into zones: one DNSZones row becomes a DomainInfo with its SOA record, one
// DNSResources row becomes a record of it. Rows are outside input: every value (text length, NUL
// bytes, integer range) is checked here, in one place, before any record constructor sees it.
// No database is needed: the rows are plain values read by the caller (NULL texts as empty,
// NULL integers as 0).
//
// Ownership: a zone returned is the caller's (domain_info_free); a record returned is the
// caller's until domain_info_add. Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "dns/dns_message.h"

struct DbZoneRow {
  int64_t id = 0;
  std::string zoneName;
  std::string nameServer1;
  std::string responsibleMailAddr;
  int64_t serial = 0, refresh = 0, retry = 0, expire = 0, defaultTTL = 0;
};

struct DbResourceRow {
  std::string rName, rType, rClass, rData;
  int64_t ttl = 0;
  int64_t preference = 0;
};

// Longest text accepted from any column; longer values make the row unusable.
constexpr size_t kDbMaxRowText = 4096;

// Turns a zone row into an empty zone with its SOA (when the SOA text is accepted). *key is the
// zone's name in lower case (the key of the reload map and of the zone cache), zone->origin the
// name as stored without a final '.'. False (nothing allocated) when the row is skipped: an empty
// name, a name of 255 or more characters without a final '.', a longer name with one, or a name
// holding a NUL byte.
bool DbZoneFromRow(const DbZoneRow& row, std::string* key, DomainInfo** zone);

// Turns a resource row of a zone into a record, or null when the row is skipped: an unknown or
// unused type (SOA, HINFO, ...), data the type's constructor rejects, a text with a NUL byte or
// longer than kDbMaxRowText. A TTL below 1 takes the zone's DefaultTTL; TTLs outside
// 0..2147483647 read as 0. An unknown class gives IN.
DnsRecord* DbRecordFromRow(const DbResourceRow& row, const DomainInfo* zone, int64_t defaultTTL);
