#include "db/zone_import.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "dns/zone_file.h"

namespace {

constexpr uint32_t kMaxInt = 2147483647u;  // the INT columns of DNSZones

// A name or word as the token reader reads it back: blanks, quotes, backslashes and bytes outside
// the printable range are escaped (three-digit escapes, so a following digit stays a digit).
std::string EscapeToken(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c <= ' ' || c >= 0x7f) {
      char esc[5];
      std::snprintf(esc, sizeof(esc), "\\%03u", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// An absolute name for the data columns: the name with a final '.'; the root is ".".
std::string AbsoluteName(const char* name) { return EscapeToken(name) + "."; }

// An owner for RName: "@" for the zone itself, the part before the zone name for a name below
// it (the zone name's spelling as given), else the absolute name.
std::string RelativeOwner(const std::string& name, const std::string& zoneName) {
  if (name == zoneName) return "@";
  if (name.size() > zoneName.size() + 1 && name.compare(name.size() - zoneName.size(), zoneName.size(), zoneName) == 0 &&
      name[name.size() - zoneName.size() - 1] == '.') {
    std::string relative = EscapeToken(name.substr(0, name.size() - zoneName.size() - 1));
    return relative == "@" ? "\\@" : relative;  // a label "@", not the zone
  }
  return AbsoluteName(name.c_str());
}

std::string QuotedText(const char* text) {
  std::string out = "\"";
  for (const char* p = text; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < ' ' || c >= 0x7f) {
      char esc[5];
      std::snprintf(esc, sizeof(esc), "\\%03u", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string RecordData(const DnsRecord& rec) {
  char buffer[64];
  switch (rec.type) {
    case DNS_TYPE_A:
      return inet_ntop(AF_INET, rec.ip4, buffer, sizeof(buffer)) ? buffer : "?";
    case DNS_TYPE_AAAA:
      return inet_ntop(AF_INET6, rec.ip6, buffer, sizeof(buffer)) ? buffer : "?";
    case DNS_TYPE_NS: case DNS_TYPE_MD: case DNS_TYPE_MF: case DNS_TYPE_CNAME:
    case DNS_TYPE_MB: case DNS_TYPE_MG: case DNS_TYPE_MR: case DNS_TYPE_PTR:
      return AbsoluteName(rec.str);
    case DNS_TYPE_MX:
      return std::to_string(rec.mx->preference) + " " + AbsoluteName(rec.mx->exchanger);
    case DNS_TYPE_TXT:
      return QuotedText(rec.str);
    case DNS_TYPE_SOA: {
      const DnsSoa& s = *rec.soa;
      return AbsoluteName(s.mname) + " " + AbsoluteName(s.rname) + " " + std::to_string(s.serial) + " " +
             std::to_string(s.refresh) + " " + std::to_string(s.retry) + " " + std::to_string(s.expire) + " " +
             std::to_string(s.minimum);
    }
    default:
      return "";
  }
}

std::string RecordText(const DnsRecord& rec, uint32_t ttl) {
  return AbsoluteName(rec.name) + " " + std::to_string(ttl) + " " + dns_class_name(rec.class_) + " " +
         dns_type_name(rec.type) + " " + RecordData(rec);
}

bool IsNameType(uint16_t type) {
  switch (type) {
    case DNS_TYPE_NS: case DNS_TYPE_MD: case DNS_TYPE_MF: case DNS_TYPE_CNAME:
    case DNS_TYPE_MB: case DNS_TYPE_MG: case DNS_TYPE_MR: case DNS_TYPE_PTR:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string DbRecordText(const DnsRecord& rec) { return RecordText(rec, rec.ttl); }

DbZoneImport DbRowsFromZone(const DomainInfo& zone, const std::string& zoneName) {
  DbZoneImport out;
  out.zone.zoneName = zoneName;
  // The zone row is read back without its final '.', and a name of 255 or more characters does
  // not make a zone.
  if (zoneName.empty() || zoneName.size() >= kDnsMaxName || zoneName.back() == '.' ||
      zoneName.find('\0') != std::string::npos)
    out.problems.push_back("the zone name \"" + zoneName + "\" is empty, ends with '.' or is too long");

  auto fits = [&](const std::string& value, const char* what, const DnsRecord& rec) {
    if (value.size() <= kDbColumnText) return true;
    out.problems.push_back(std::string(what) + " longer than " + std::to_string(kDbColumnText) +
                           " characters: " + DbRecordText(rec));
    return false;
  };

  const DnsRecord* soa = nullptr;
  size_t withoutTtl = 0;
  for (const DnsRecord* rec = zone.head; rec != nullptr; rec = rec->next) {
    if (rec->type == DNS_TYPE_SOA) {
      if (soa != nullptr) {
        out.problems.push_back("a second SOA record (a database zone has one, made from its DNSZones row): " +
                               DbRecordText(*rec));
        continue;
      }
      soa = rec;
      const DnsSoa& s = *rec->soa;
      // The database makes the SOA owner from the zone name, spelling included.
      if (zoneName != rec->name)
        out.problems.push_back("the SOA record's owner is not the zone name " + zoneName + ": " + DbRecordText(*rec));
      if (rec->class_ != DNS_CLASS_IN)
        out.problems.push_back("the SOA record is not of class IN: " + DbRecordText(*rec));
      if (s.serial > kMaxInt || s.refresh > kMaxInt || s.retry > kMaxInt || s.expire > kMaxInt ||
          s.minimum > kMaxInt)
        out.problems.push_back("an SOA number is larger than 2147483647: " + DbRecordText(*rec));
      out.zone.nameServer1 = AbsoluteName(s.mname);
      out.zone.responsibleMailAddr = AbsoluteName(s.rname);
      fits(out.zone.nameServer1, "the SOA name server is", *rec);
      fits(out.zone.responsibleMailAddr, "the SOA mail address is", *rec);
      out.zone.serial = s.serial;
      out.zone.refresh = s.refresh;
      out.zone.retry = s.retry;
      out.zone.expire = s.expire;
      out.zone.defaultTTL = s.minimum;
      if (rec->ttl != s.minimum)
        out.notes.push_back("the SOA record's TTL " + std::to_string(rec->ttl) + " becomes its minimum " +
                            std::to_string(s.minimum) + " (the zone's DefaultTTL gives both)");
      continue;
    }

    DbResourceRow row;
    row.rName = RelativeOwner(rec->name, zoneName);
    row.rType = dns_type_name(rec->type);
    row.rClass = dns_class_name(rec->class_);
    row.ttl = rec->ttl;
    if (rec->ttl == 0) ++withoutTtl;
    if (rec->type == DNS_TYPE_A || rec->type == DNS_TYPE_AAAA) {
      row.rData = RecordData(*rec);
    } else if (IsNameType(rec->type)) {
      row.rData = AbsoluteName(rec->str);
    } else if (rec->type == DNS_TYPE_MX) {
      row.rData = AbsoluteName(rec->mx->exchanger);
      row.preference = rec->mx->preference;
    } else if (rec->type == DNS_TYPE_TXT) {
      // The database takes a TXT row's data whole: the text itself, no quotes.
      row.rData = rec->str;
    } else {
      out.problems.push_back(std::string("a record of type ") + dns_type_name(rec->type) +
                             " (the database holds no such rows): " + DbRecordText(*rec));
      continue;
    }
    bool ok = fits(row.rName, "the owner name is", *rec);
    ok = fits(row.rData, "the data is", *rec) && ok;
    if (ok) out.resources.push_back(std::move(row));
  }
  if (withoutTtl > 0 && out.zone.defaultTTL != 0)
    out.notes.push_back(std::to_string(withoutTtl) + " record(s) with TTL 0 take the zone's default TTL " +
                        std::to_string(out.zone.defaultTTL));
  return out;
}

DomainInfo* DbZoneFromRows(const DbZoneRow& zoneRow, const std::vector<DbResourceRow>& resources) {
  std::string key;
  DomainInfo* zone = nullptr;
  if (!DbZoneFromRow(zoneRow, &key, &zone)) return nullptr;
  for (const DbResourceRow& row : resources) {
    DnsRecord* rec = DbRecordFromRow(row, zone, zoneRow.defaultTTL);
    if (rec != nullptr) domain_info_add(zone, rec);
  }
  return zone;
}

std::vector<std::string> DbCompareZones(const DomainInfo& fromFile, const DomainInfo& fromRows, uint32_t defaultTTL) {
  std::vector<std::string> expected, actual;
  for (const DnsRecord* rec = fromFile.head; rec != nullptr; rec = rec->next) {
    uint32_t ttl = rec->ttl;
    if (rec->type == DNS_TYPE_SOA)
      ttl = rec->soa->minimum;
    else if (ttl == 0)
      ttl = defaultTTL;
    expected.push_back(RecordText(*rec, ttl));
  }
  for (const DnsRecord* rec = fromRows.head; rec != nullptr; rec = rec->next) actual.push_back(DbRecordText(*rec));
  std::sort(expected.begin(), expected.end());
  std::sort(actual.begin(), actual.end());
  std::vector<std::string> missing, extra, lines;
  std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(), std::back_inserter(missing));
  std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(), std::back_inserter(extra));
  for (const std::string& m : missing) lines.push_back("only in the zone file: " + m);
  for (const std::string& e : extra) lines.push_back("only in the database: " + e);
  return lines;
}
