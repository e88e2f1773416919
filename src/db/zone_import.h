// A zone held in memory (read from a zone file) as rows of the DNSZones and DNSResources tables:
// the reverse of zone_rows.h, used by the administration tool to import zone files. It also
// rebuilds a zone from rows exactly as the server does and compares two zones record by record,
// so that an import can prove that the database gives back what the file says.
//
// What the tables cannot hold is reported, never stored half-way: a second SOA, an SOA that does
// not belong to the zone's name, numbers past the INT columns, texts longer than their column.
// The two things the database decides itself (the SOA's TTL is its minimum, and a record without
// a TTL takes the zone's default TTL) are reported as notes.
//
// Ownership: plain values; a zone returned is the caller's (domain_info_free). Pure functions;
// safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/zone_rows.h"
#include "dns/dns_message.h"

// Longest text the name and data columns hold (VARCHAR(256)).
constexpr size_t kDbColumnText = 256;

struct DbZoneImport {
  DbZoneRow zone;                       // id unused
  std::vector<DbResourceRow> resources;  // one per record other than the SOA, in zone order
  std::vector<std::string> problems;    // what the tables cannot hold; nothing may be written
  std::vector<std::string> notes;       // what the database will change (TTLs)
};

// The rows of zone under zoneName (its name without a final '.'). The SOA goes into the zone row
// (names absolute, DefaultTTL = the SOA's minimum); every other record becomes a resource row with
// its owner relative to the zone ("@" for the zone itself) and its data names absolute. A zone
// without an SOA gets a zone row without name server and mail address.
DbZoneImport DbRowsFromZone(const DomainInfo& zone, const std::string& zoneName);

// The zone the server builds from these rows (DbZoneFromRow, then DbRecordFromRow per row in the
// given order, rejected rows skipped), or null when the zone row itself is skipped.
DomainInfo* DbZoneFromRows(const DbZoneRow& zone, const std::vector<DbResourceRow>& resources);

// One record as a zone-file line: "owner. TTL CLASS TYPE data" with absolute names, escaped
// where a name or text holds blanks, quotes, backslashes or unprintable bytes.
std::string DbRecordText(const DnsRecord& rec);

// Compares the records of a zone read from a file with those of the zone built from its rows, as
// multisets of DbRecordText lines. The file's records are first given what the database decides:
// the SOA's TTL becomes its minimum, a TTL of 0 becomes defaultTTL. Returns one line per
// difference ("only in the zone file: ...", "only in the database: ..."), none when they match.
std::vector<std::string> DbCompareZones(const DomainInfo& fromFile, const DomainInfo& fromRows, uint32_t defaultTTL);
