#include "dns/dns_message.h"

#include <array>
#include <cstring>

#include "dns/wire_cursor.h"
#include "dns/zone_index.h"

using dnswire::Reader;
using dnswire::Writer;

namespace {

// Bytes that may appear in a decoded name: letters, digits, '-', '_', '*' and '.'. Built at
// compile time, so there is nothing to initialise before the first worker thread starts.
constexpr std::array<bool, 256> MakeNameChars() {
  std::array<bool, 256> t{};
  for (int c = 'a'; c <= 'z'; ++c) t[c] = true;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = true;
  for (int c = '0'; c <= '9'; ++c) t[c] = true;
  t['-'] = t['_'] = t['*'] = t['.'] = true;
  return t;
}
constexpr std::array<bool, 256> kNameChars = MakeNameChars();

constexpr size_t kMaxLabel = 63;
constexpr uint16_t kPointerLimit = 0xC000;

inline unsigned char Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// --- Name compression table -------------------------------------------------------------------
// The table lists remembered name suffixes in order; the first null entry ends it. Only that one
// entry needs clearing to start a message.
struct CompressTable {
  const char** names;
  uint16_t* offsets;
  size_t used;

  // Index of the entry equal to name (case-insensitive), or -1.
  int Find(const char* name) const {
    unsigned char first = Lower(static_cast<unsigned char>(*name));
    for (size_t i = 0; i < used; ++i) {
      const char* e = names[i];
      if (Lower(static_cast<unsigned char>(*e)) != first) continue;
      if (dnsindex::NameEqual(e, name)) return static_cast<int>(i);
    }
    return -1;
  }
  void Remember(const char* name, size_t offset) {
    if (used >= kDnsCompressEntries || offset >= kPointerLimit) return;
    names[used] = name;
    offsets[used] = static_cast<uint16_t>(offset);
    ++used;
    if (used < kDnsCompressEntries) names[used] = nullptr;
  }
  // Forgets the entries remembered after a failed write.
  void Truncate(size_t count) {
    if (count < used) {
      used = count;
      names[count] = nullptr;
    }
  }
};

// Writes one name at the writer's position. Returns 0, -1 (label over 63 bytes) or -2.
int WriteName(Writer& w, CompressTable& table, const char* name) {
  // Reject labels the wire cannot carry before anything is written or remembered.
  {
    size_t label = 0;
    for (const char* p = name; *p; ++p) {
      if (*p == '.') {
        if (label == 0) break;  // an empty label ends the name
        label = 0;
      } else if (++label > kMaxLabel) {
        return DNS_ERR_MALFORMED;
      }
    }
  }
  const size_t before = table.used;
  if (*name) {
    int hit = table.Find(name);
    if (hit >= 0) {
      w.u16(static_cast<uint16_t>(kPointerLimit | table.offsets[hit]));
      return w.ok() ? 0 : DNS_ERR_NO_ROOM;
    }
    table.Remember(name, w.pos());
  }
  const char* p = name;
  for (;;) {
    const char* start = p;
    while (*p && *p != '.') ++p;
    size_t len = static_cast<size_t>(p - start);
    if (len == 0) break;  // end of text, or a leading, doubled or trailing dot
    w.u8(static_cast<uint8_t>(len));
    w.bytes(start, len);
    if (!w.ok()) break;
    if (*p == '.' && p[1] != 0) {
      const char* rest = p + 1;
      int hit = table.Find(rest);
      if (hit >= 0) {
        w.u16(static_cast<uint16_t>(kPointerLimit | table.offsets[hit]));
        if (!w.ok()) break;
        return 0;
      }
      table.Remember(rest, w.pos());
      p = rest;
      continue;
    }
    break;
  }
  w.u8(0);
  if (!w.ok()) {
    table.Truncate(before);
    return DNS_ERR_NO_ROOM;
  }
  return 0;
}

inline bool IsNameType(uint16_t type) {
  switch (type) {
    case DNS_TYPE_NS: case DNS_TYPE_MD: case DNS_TYPE_MF: case DNS_TYPE_CNAME:
    case DNS_TYPE_MB: case DNS_TYPE_MG: case DNS_TYPE_MR: case DNS_TYPE_PTR:
      return true;
    default:
      return false;
  }
}

// Builds one message in an 8192-byte buffer.
struct Builder {
  Writer w;
  const char* names[kDnsCompressEntries];
  uint16_t offsets[kDnsCompressEntries];
  CompressTable table;

  explicit Builder(uint8_t* msg) : w(msg, kDnsMaxMessage), table{names, offsets, 0} {
    names[0] = nullptr;
  }

  // Appends one record; on failure the message and the table are as before. 0, -1, -2 or -3.
  int WriteRecord(const DnsRecord& rec) {
    const size_t start = w.pos();
    const size_t entries = table.used;
    int rc = WriteRecordData(rec);
    if (rc == 0 && !w.ok()) rc = DNS_ERR_NO_ROOM;
    if (rc != 0) {
      w.rewind(start);
      table.Truncate(entries);
    }
    return rc;
  }

 private:
  int WriteRecordData(const DnsRecord& rec) {
    if (!rec.name) return DNS_ERR_MISSING;
    int rc = WriteName(w, table, rec.name);
    if (rc != 0) return rc;
    w.u16(rec.type);
    w.u16(rec.class_);
    w.u32(rec.ttl);
    size_t rdlengthAt = w.reserve16();
    if (!w.ok()) return DNS_ERR_NO_ROOM;
    const size_t dataStart = w.pos();
    switch (rec.type) {
      case DNS_TYPE_A:
        w.bytes(rec.ip4, 4);
        break;
      case DNS_TYPE_AAAA:
        w.bytes(rec.ip6, 16);
        break;
      case DNS_TYPE_SOA:
        if (!rec.soa || !rec.soa->mname || !rec.soa->rname) return DNS_ERR_MISSING;
        if ((rc = WriteName(w, table, rec.soa->mname)) != 0) return rc;
        if ((rc = WriteName(w, table, rec.soa->rname)) != 0) return rc;
        w.u32(rec.soa->serial);
        w.u32(rec.soa->refresh);
        w.u32(rec.soa->retry);
        w.u32(rec.soa->expire);
        w.u32(rec.soa->minimum);
        break;
      case DNS_TYPE_MX:
        if (!rec.mx || !rec.mx->exchanger) return DNS_ERR_MISSING;
        w.u16(rec.mx->preference);
        if ((rc = WriteName(w, table, rec.mx->exchanger)) != 0) return rc;
        break;
      case DNS_TYPE_TXT: {
        // The whole text, as consecutive character strings of at most 255 bytes each.
        if (!rec.str) return DNS_ERR_MISSING;
        const char* text = rec.str;
        size_t left = std::strlen(text);
        do {
          size_t n = left < 255 ? left : 255;
          w.u8(static_cast<uint8_t>(n));
          w.bytes(text, n);
          text += n;
          left -= n;
        } while (left > 0 && w.ok());
        break;
      }
      default:
        if (IsNameType(rec.type)) {
          if (!rec.str) return DNS_ERR_MISSING;
          if ((rc = WriteName(w, table, rec.str)) != 0) return rc;
        }
        break;  // any other type: no data
    }
    if (!w.ok()) return DNS_ERR_NO_ROOM;
    size_t dataLen = w.pos() - dataStart;
    if (dataLen > 0xFFFF) return DNS_ERR_NO_ROOM;
    w.patch16(rdlengthAt, static_cast<uint16_t>(dataLen));
    return 0;
  }
};

// The records of one owner name, in zone order: through the index, or by scanning the list when
// the zone has no usable index.
template <typename Visit>
bool ForEachOwnerRecord(const DomainInfo* zone, const char* name, Visit visit) {
  const DnsRecord* first = nullptr;
  if (dnsindex::Find(zone->index, name, &first)) {
    for (const DnsRecord* r = first; r; r = r->owner_next)
      if (!visit(*r)) return false;
  } else {
    for (const DnsRecord* r = zone->head; r; r = r->next)
      if (r->name && dnsindex::NameEqual(r->name, name) && !visit(*r)) return false;
  }
  return true;
}

// Answers the question from the zone: answer records, CNAME chain, SOA in authority. Returns the
// rcode; *ancount and *nscount count what was written.
int AnswerFromZone(Builder& b, const DomainInfo* zone, const char* qname, uint16_t qtype,
                   int* ancount, int* nscount) {
  const char* current = qname;
  bool seen = false;      // a record with the current name exists
  bool answered = false;  // a record of the asked type was written
  const DnsRecord* soa = nullptr;
  const DnsRecord* cname = nullptr;
  int scans = 0;
  int stopRcode = -1;  // set when writing an answer ended the search
  for (;;) {
    if (!soa) soa = zone->first_soa;  // any SOA of the zone, until one of the name replaces it
    bool completed = ForEachOwnerRecord(zone, current, [&](const DnsRecord& r) {
      seen = true;
      if (r.type == DNS_TYPE_SOA) soa = &r;
      if (r.type == DNS_TYPE_CNAME && !cname) cname = &r;
      if (r.type == qtype) {
        int rc = b.WriteRecord(r);
        if (rc == DNS_ERR_NO_ROOM && *ancount > 0) {
          stopRcode = DNS_RCODE_OK;  // truncated to the answers that fit
          return false;
        }
        if (rc != 0) {
          stopRcode = DNS_RCODE_SERVFAIL;
          return false;
        }
        ++*ancount;
        answered = true;
      }
      return true;
    });
    if (!completed) return stopRcode;
    if (answered) return DNS_RCODE_OK;
    if (++scans >= 10 || !cname) break;
    if (b.WriteRecord(*cname) != 0) return DNS_RCODE_SERVFAIL;
    ++*ancount;
    current = cname->str;
    cname = nullptr;
    if (qtype != DNS_TYPE_A && qtype != DNS_TYPE_AAAA) break;
  }
  if (!seen) return DNS_RCODE_NXDOMAIN;
  if (soa) {
    if (b.WriteRecord(*soa) != 0) return DNS_RCODE_SERVFAIL;
    *nscount = 1;
  }
  return DNS_RCODE_OK;
}

// Reads the record at *pos into rec, its texts into buf[*used .. kDnsNameBufferSize).
int ReadRecord(const uint8_t* msg, size_t msgLen, size_t* pos, DnsRecord* rec, char* buf,
               size_t* used) {
  std::memset(rec, 0, sizeof(*rec));
  auto space = [&]() { return kDnsNameBufferSize - *used; };
  // Decodes one name at *at (bounded by limit) into the free part of the buffer.
  auto readName = [&](size_t limit, size_t* at, char** out) {
    if (space() == 0) return static_cast<int>(DNS_ERR_NO_ROOM);
    int rc = dns_read_name(limit, msg, buf + *used, space(), at);
    if (rc < 0) return rc;
    *out = buf + *used;
    *used += static_cast<size_t>(rc);
    return 0;
  };
  // Reserves an aligned block in the free part of the buffer.
  auto block = [&](size_t size) -> void* {
    size_t aligned = (*used + alignof(DnsSoa) - 1) & ~(alignof(DnsSoa) - 1);
    if (aligned > kDnsNameBufferSize || kDnsNameBufferSize - aligned < size) return nullptr;
    *used = aligned + size;
    return buf + aligned;
  };

  int rc = readName(msgLen, pos, &rec->name);
  if (rc < 0) return rc;
  Reader r(msg, msgLen, *pos);
  rec->type = r.u16();
  rec->class_ = r.u16();
  rec->ttl = r.u32();
  rec->rdlength = r.u16();
  if (!r.ok() || !r.has(rec->rdlength)) return DNS_ERR_MALFORMED;
  const size_t dataStart = r.pos();
  const size_t dataEnd = dataStart + rec->rdlength;
  Reader data(msg, dataEnd, dataStart);  // the record's data only
  switch (rec->type) {
    case DNS_TYPE_A:
      if (rec->rdlength != 4) return DNS_ERR_MALFORMED;
      data.bytes(rec->ip4, 4);
      break;
    case DNS_TYPE_AAAA:
      if (rec->rdlength != 16) return DNS_ERR_MALFORMED;
      data.bytes(rec->ip6, 16);
      break;
    case DNS_TYPE_SOA: {
      auto* soa = static_cast<DnsSoa*>(block(sizeof(DnsSoa)));
      if (!soa) return DNS_ERR_NO_ROOM;
      std::memset(soa, 0, sizeof(*soa));
      rec->soa = soa;
      size_t at = dataStart;
      if ((rc = readName(dataEnd, &at, &soa->mname)) < 0) return rc;
      if ((rc = readName(dataEnd, &at, &soa->rname)) < 0) return rc;
      Reader numbers(msg, dataEnd, at);
      soa->serial = numbers.u32();
      soa->refresh = numbers.u32();
      soa->retry = numbers.u32();
      soa->expire = numbers.u32();
      soa->minimum = numbers.u32();
      if (!numbers.ok()) return DNS_ERR_MISSING;
      break;
    }
    case DNS_TYPE_MX: {
      auto* mx = static_cast<DnsMx*>(block(sizeof(DnsMx)));
      if (!mx) return DNS_ERR_NO_ROOM;
      std::memset(mx, 0, sizeof(*mx));
      rec->mx = mx;
      mx->preference = data.u16();
      if (!data.ok()) return DNS_ERR_MISSING;
      size_t at = data.pos();
      if ((rc = readName(dataEnd, &at, &mx->exchanger)) < 0) return rc;
      break;
    }
    case DNS_TYPE_TXT: {
      // Only the first character string is kept.
      uint8_t len = data.u8();
      const uint8_t* text = data.take(len);
      if (!data.ok()) return DNS_ERR_MALFORMED;
      if (static_cast<size_t>(len) >= space()) return DNS_ERR_NO_ROOM;
      char* out = buf + *used;
      std::memcpy(out, text, len);
      out[len] = '\0';
      rec->str = out;
      *used += static_cast<size_t>(len) + 1;
      break;
    }
    default:
      if (IsNameType(rec->type)) {
        size_t at = dataStart;
        if ((rc = readName(dataEnd, &at, &rec->str)) < 0) return rc;
      }
      break;
  }
  *pos = dataEnd;  // the next record starts at the declared end of the data
  return 0;
}

void ReadHeader(Reader& r, DnsHeader* h) {
  h->id = r.u16();
  h->flags = r.u16();
  h->qdcount = r.u16();
  h->ancount = r.u16();
  h->nscount = r.u16();
  h->arcount = r.u16();
}

// Reads the question at offset 12 into question (name at the start of nameBuffer).
int ReadQuestion(const uint8_t* msg, size_t msgLen, DnsQuestion* q, char* nameBuffer,
                 size_t* pos) {
  q->name = nameBuffer;
  *pos = kDnsHeaderSize;
  int rc = dns_read_name(msgLen, msg, nameBuffer, kDnsNameBufferSize, pos);
  if (rc < 0) return rc;
  Reader r(msg, msgLen, *pos);
  uint16_t qtype = r.u16();
  uint16_t qclass = r.u16();
  if (!r.ok()) return DNS_ERR_MALFORMED;
  q->qtype = qtype;
  q->qclass = qclass;
  *pos = r.pos();
  return rc;
}

}  // namespace

int dns_read_name(size_t msgLen, const uint8_t* msg, char* out, size_t outSize, size_t* pos) {
  if (!out || outSize == 0) return DNS_ERR_MISSING;
  out[0] = '\0';
  if (!msg) return DNS_ERR_MISSING;
  const size_t start = pos ? *pos : 0;
  if (start >= msgLen) return DNS_ERR_MALFORMED;
  Reader r(msg, msgLen, start);
  size_t len = 0;
  bool followed = false;  // a compression pointer was followed
  bool atTarget = false;  // the next byte is a pointer's target: taken as a label length
  for (;;) {
    const size_t at = r.pos();
    uint8_t b = r.u8();
    if (!r.ok()) break;
    if (!atTarget && (b & 0xC0) == 0xC0) {
      uint8_t low = r.u8();
      if (!r.ok()) break;
      if (!followed && pos) *pos = at + 2;
      size_t target = static_cast<size_t>(b & 0x3F) << 8 | low;
      if (target >= at) break;  // pointers go strictly backwards
      followed = true;
      atTarget = true;
      r.seek(target);
      continue;
    }
    atTarget = false;
    if (b == 0) {
      out[len] = '\0';
      if (!followed && pos) *pos = r.pos();
      return static_cast<int>(len + 1);
    }
    const size_t label = b;
    if (!r.has(label + 1)) break;  // the label and the byte after it must lie inside
    if (len > 0) {
      if (len + label >= outSize - 1) {
        out[len] = '\0';
        return DNS_ERR_NO_ROOM;
      }
      out[len++] = '.';
    } else if (label >= outSize) {
      return DNS_ERR_NO_ROOM;
    }
    const uint8_t* bytes = r.take(label);
    for (size_t i = 0; i < label; ++i) {
      if (!kNameChars[bytes[i]]) {
        out[len] = '?';
        out[len + 1] = '\0';
        return DNS_ERR_BAD_CHAR;
      }
      out[len++] = static_cast<char>(bytes[i]);
    }
  }
  out[len] = '\0';
  return DNS_ERR_MALFORMED;
}

int dns_write_name(uint8_t* msg, const char* name, size_t offset, const char** names,
                   uint16_t* offsets) {
  if (!msg || !name || !names || !offsets) return DNS_ERR_MISSING;
  if (offset >= kDnsMaxMessage) return DNS_ERR_NO_ROOM;
  CompressTable table{names, offsets, 0};
  while (table.used < kDnsCompressEntries && names[table.used]) ++table.used;
  Writer w(msg, kDnsMaxMessage, offset);
  int rc = WriteName(w, table, name);
  if (rc != 0) return rc;
  return static_cast<int>(w.pos() - offset);
}

int dns_parse_request(DnsHeader* header, const uint8_t* msg, size_t msgLen, DnsQuestion* question,
                      char* nameBuffer) {
  if (!header || !msg || !question || !nameBuffer) return DNS_ERR_MISSING;
  question->name = nameBuffer;
  question->qtype = question->qclass = 0;
  nameBuffer[0] = '\0';
  if (msgLen < kDnsHeaderSize) return DNS_ERR_MALFORMED;
  Reader r(msg, msgLen);
  ReadHeader(r, header);
  if (header->qdcount == 0) return DNS_ERR_NO_QUESTION;
  size_t pos;
  int rc = ReadQuestion(msg, msgLen, question, nameBuffer, &pos);
  return rc < 0 ? rc : 0;
}

int dns_parse_response(const uint8_t* msg, size_t msgLen, DnsHeader* header, DnsQuestion* question,
                       DnsRecord* records, size_t* capacity, char* nameBuffer) {
  if (!msg || !header || !question || !records || !capacity || !nameBuffer || *capacity == 0)
    return DNS_ERR_MISSING;
  question->name = nameBuffer;
  question->qtype = question->qclass = 0;
  nameBuffer[0] = '\0';
  if (msgLen < kDnsHeaderSize) return DNS_ERR_MALFORMED;
  Reader r(msg, msgLen);
  ReadHeader(r, header);
  if (header->qdcount == 0) return DNS_ERR_NO_QUESTION;
  if (header->qdcount > 1) return DNS_ERR_MULTI_QUESTION;
  size_t total = static_cast<size_t>(header->ancount) + header->nscount + header->arcount;
  if (total > *capacity) return DNS_ERR_TOO_MANY;
  *capacity = total;
  size_t pos;
  int rc = ReadQuestion(msg, msgLen, question, nameBuffer, &pos);
  if (rc < 0) return rc;
  size_t used = static_cast<size_t>(rc);
  for (size_t i = 0; i < total; ++i) {
    rc = ReadRecord(msg, msgLen, &pos, &records[i], nameBuffer, &used);
    if (rc < 0) return rc;
  }
  return 0;
}

int dns_make_response(const DnsQuestion* question, uint8_t* msg, uint16_t id, uint16_t flags,
                      int rcode, const DomainInfo* zone) {
  if (!msg || !question || !question->name) return DNS_ERR_MISSING;
  Builder b(msg);
  b.w.u16(id);
  b.w.u16(0);  // flags and counts are written last
  b.w.u16(1);
  b.w.u16(0);
  b.w.u16(0);
  b.w.u16(0);
  int rc = WriteName(b.w, b.table, question->name);
  if (rc != 0) return rc;
  b.w.u16(question->qtype);
  b.w.u16(question->qclass);
  if (!b.w.ok()) return DNS_ERR_NO_ROOM;

  int ancount = 0, nscount = 0;
  if (rcode == DNS_RCODE_OK) {
    rcode = zone ? AnswerFromZone(b, zone, question->name, question->qtype, &ancount, &nscount)
                 : DNS_RCODE_NXDOMAIN;
  }
  uint16_t outFlags = static_cast<uint16_t>((flags & 0xFFF0u) | (static_cast<unsigned>(rcode) & 0xFu) | 0x8000u);
  msg[2] = static_cast<uint8_t>(outFlags >> 8);
  msg[3] = static_cast<uint8_t>(outFlags);
  msg[6] = static_cast<uint8_t>(ancount >> 8);
  msg[7] = static_cast<uint8_t>(ancount);
  msg[8] = 0;
  msg[9] = static_cast<uint8_t>(nscount);
  msg[10] = msg[11] = 0;
  return static_cast<int>(b.w.pos());
}

// --- Text tables and parsers ------------------------------------------------------------------

namespace {

struct NameEntry {
  uint16_t number;
  const char* name;
};

// Text-to-number order: the first prefix hit wins, so AAAA is tried before A.
constexpr NameEntry kTypes[] = {
    {DNS_TYPE_AAAA, "AAAA"}, {DNS_TYPE_A, "A"},         {DNS_TYPE_NS, "NS"},
    {DNS_TYPE_MD, "MD"},     {DNS_TYPE_MF, "MF"},       {DNS_TYPE_CNAME, "CNAME"},
    {DNS_TYPE_SOA, "SOA"},   {DNS_TYPE_MB, "MB"},       {DNS_TYPE_MG, "MG"},
    {DNS_TYPE_MR, "MR"},     {DNS_TYPE_NULL, "NULL"},   {DNS_TYPE_WKS, "WKS"},
    {DNS_TYPE_PTR, "PTR"},   {DNS_TYPE_HINFO, "HINFO"}, {DNS_TYPE_MINFO, "MINFO"},
    {DNS_TYPE_MX, "MX"},     {DNS_TYPE_TXT, "TXT"},     {DNS_TYPE_AXFR, "AXFR"},
    {DNS_TYPE_MAILB, "MAILB"}, {DNS_TYPE_MAILA, "MAILA"}, {DNS_TYPE_ANY, "*"},
};
constexpr NameEntry kClasses[] = {
    {DNS_CLASS_IN, "IN"}, {DNS_CLASS_CS, "CS"}, {DNS_CLASS_CH, "CH"},
    {DNS_CLASS_HS, "HS"}, {DNS_CLASS_ANY, "*"},
};

template <size_t N>
const char* NumberToName(const NameEntry (&table)[N], uint16_t number) {
  for (const NameEntry& e : table)
    if (e.number == number) return e.name;
  return "UNKNOWN";
}

template <size_t N>
int NameToNumber(const NameEntry (&table)[N], const char* text, const char** rest) {
  if (!text || !*text) return DNS_ERR_MISSING;
  for (const NameEntry& e : table) {
    size_t i = 0;
    while (e.name[i] && Lower(static_cast<unsigned char>(text[i])) ==
                            Lower(static_cast<unsigned char>(e.name[i])))
      ++i;
    if (e.name[i] == '\0') {
      if (rest) *rest = text + i;
      return e.number;
    }
  }
  return DNS_ERR_MALFORMED;
}

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

inline int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

const char* dns_type_name(uint16_t type) { return NumberToName(kTypes, type); }
const char* dns_class_name(uint16_t cls) { return NumberToName(kClasses, cls); }

int dns_type_from_text(const char* text, const char** rest) {
  return NameToNumber(kTypes, text, rest);
}
int dns_class_from_text(const char* text, const char** rest) {
  return NameToNumber(kClasses, text, rest);
}

int dns_parse_ttl(const char* text, const char** end) {
  if (!text || !*text) return DNS_ERR_MISSING;
  if (!IsDigit(*text)) return DNS_ERR_MALFORMED;
  const char* p = text;
  uint64_t value = 0;
  while (IsDigit(*p)) {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > 0x7FFFFFFF) return DNS_ERR_MALFORMED;
    ++p;
  }
  uint64_t unit = 1;
  switch (*p) {
    case 'd': case 'D': unit = 86400; break;
    case 'h': case 'H': unit = 3600; break;
    case 'm': case 'M': unit = 60; break;
    case 'w': case 'W': unit = 604800; break;
    default: break;
  }
  if (unit != 1) ++p;
  value *= unit;
  if (value > 0x7FFFFFFF) return DNS_ERR_MALFORMED;
  if (end) *end = p;
  return static_cast<int>(value);
}

int dns_parse_ipv4(const char* text, uint8_t out[4]) {
  if (!text || !*text || !out) return DNS_ERR_MISSING;
  uint8_t bytes[4];
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (*p != '.') return DNS_ERR_MALFORMED;
      ++p;
    }
    if (!IsDigit(*p)) return DNS_ERR_MALFORMED;
    unsigned value = 0;
    while (IsDigit(*p)) {
      value = value * 10 + static_cast<unsigned>(*p - '0');
      if (value > 255) return DNS_ERR_MALFORMED;
      ++p;
    }
    bytes[part] = static_cast<uint8_t>(value);
  }
  std::memcpy(out, bytes, 4);
  return 0;
}

int dns_parse_ipv6(const char* text, uint16_t out[8]) {
  if (!text || !*text || !out) return DNS_ERR_MISSING;
  uint16_t groups[8] = {};
  int count = 0;    // groups read
  int gapAt = -1;   // index where "::" stands
  const char* p = text;
  if (p[0] == ':') {
    if (p[1] != ':') return DNS_ERR_MALFORMED;
    gapAt = 0;
    p += 2;
  }
  while (count < 8) {
    if (HexValue(*p) < 0) break;  // end of the group list
    const char* groupStart = p;
    unsigned value = 0;
    int digits = 0;
    while (HexValue(*p) >= 0) {
      if (++digits > 4) break;
      value = value << 4 | static_cast<unsigned>(HexValue(*p));
      ++p;
    }
    if (*p == '.' || digits > 4) {
      // A dotted IPv4 tail fills the last two groups.
      uint8_t v4[4];
      if (count > 6 || dns_parse_ipv4(groupStart, v4) != 0) return DNS_ERR_MALFORMED;
      groups[count++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
      break;
    }
    groups[count++] = static_cast<uint16_t>(value);
    if (p[0] != ':') break;
    if (p[1] == ':') {
      if (gapAt >= 0) break;  // a second "::" ends the text
      gapAt = count;
      p += 2;
    } else if (HexValue(p[1]) >= 0) {
      p += 1;
    } else {
      break;
    }
  }
  if (gapAt < 0) {
    if (count < 8) return DNS_ERR_MALFORMED;
  } else {
    // Move the groups after the gap to the end and fill the gap with zeros.
    int tail = count - gapAt;
    for (int i = 0; i < tail; ++i) groups[7 - i] = groups[count - 1 - i];
    for (int i = gapAt; i < 8 - tail; ++i) groups[i] = 0;
  }
  for (int i = 0; i < 8; ++i) {
    uint8_t wire[2] = {static_cast<uint8_t>(groups[i] >> 8), static_cast<uint8_t>(groups[i])};
    std::memcpy(&out[i], wire, 2);
  }
  return 0;
}

char* dns_format_ipv6(const uint16_t groups[8], char* out) {
  if (!out) return out;
  out[0] = '\0';
  if (!groups) return out;
  uint16_t g[8];
  for (int i = 0; i < 8; ++i) {
    uint8_t wire[2];
    std::memcpy(wire, &groups[i], 2);
    g[i] = static_cast<uint16_t>(wire[0] << 8 | wire[1]);
  }
  // The first run of two or more zero groups becomes "::".
  int runStart = -1, runLen = 0;
  for (int i = 0; i < 8 && runStart < 0; ++i) {
    if (g[i] != 0) continue;
    int j = i;
    while (j < 8 && g[j] == 0) ++j;
    if (j - i >= 2) {
      runStart = i;
      runLen = j - i;
    }
    i = j;
  }
  static const char kHex[] = "0123456789abcdef";
  char* o = out;
  for (int i = 0; i < 8; ++i) {
    if (i == runStart) {
      *o++ = ':';
      *o++ = ':';
      i += runLen - 1;
      continue;
    }
    if (i > 0 && i != runStart + runLen) *o++ = ':';
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      int d = (g[i] >> shift) & 0xF;
      if (d || started || shift == 0) {
        *o++ = kHex[d];
        started = true;
      }
    }
  }
  *o = '\0';
  return out;
}
