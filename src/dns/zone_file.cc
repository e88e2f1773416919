#include "dns/zone_file.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "dns/line_reader.h"
#include "dns/zone_index.h"

namespace {

constexpr size_t kLineBuffer = 4096;   // one line, or one gathered parenthesised record
constexpr size_t kNameOut = 256;       // resolved names: 255 characters and the terminator
constexpr size_t kMaxTxtToken = 2047;  // token buffer for TXT: 2046 characters
constexpr size_t kMaxTxtWhole = 2047;

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }
inline const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

// One allocation: the record, then an optional block (SOA, MX), then the owner text and the data
// texts. Returns the record with name set; *texts points after the owner text.
DnsRecord* AllocRecord(const char* owner, size_t ownerLen, uint16_t type, uint16_t cls,
                       uint32_t ttl, size_t blockSize, size_t textBytes, char** block,
                       char** texts) {
  static_assert(sizeof(DnsRecord) % alignof(DnsSoa) == 0, "block alignment");
  size_t blockRounded = (blockSize + alignof(DnsSoa) - 1) & ~(alignof(DnsSoa) - 1);
  size_t total = sizeof(DnsRecord) + blockRounded + ownerLen + 1 + textBytes;
  auto* base = static_cast<char*>(std::malloc(total));
  if (!base) return nullptr;
  auto* rec = reinterpret_cast<DnsRecord*>(base);
  std::memset(rec, 0, sizeof(*rec));
  char* p = base + sizeof(DnsRecord);
  if (block) *block = p;
  p += blockRounded;
  std::memcpy(p, owner, ownerLen + 1);
  rec->name = p;
  rec->type = type;
  rec->class_ = cls;
  rec->ttl = ttl;
  if (texts) *texts = p + ownerLen + 1;
  return rec;
}

char* CopyText(char* dst, const char* src, size_t len) {
  std::memcpy(dst, src, len);
  dst[len] = '\0';
  return dst;
}

// Resolves the owner; true when it names at least one character.
bool ResolveOwner(const char* owner, const char* origin, char (&out)[kNameOut], size_t* len) {
  if (!owner) return false;
  int n = dns_resolve_name(owner, out, nullptr, origin);
  if (n < 1) return false;
  *len = static_cast<size_t>(n);
  return true;
}

// Reads a decimal number of at most max; *end after its digits. False when there is none or it
// is too large.
bool ReadDecimal(const char* text, uint64_t max, uint64_t* value, const char** end) {
  if (!IsDigit(*text)) return false;
  uint64_t v = 0;
  const char* p = text;
  while (IsDigit(*p)) {
    v = v * 10 + static_cast<uint64_t>(*p - '0');
    if (v > max) return false;
    ++p;
  }
  *value = v;
  *end = p;
  return true;
}

// Drops the comment and resolves the escapes inside quoted parts of one line, in place.
void StripCommentAndEscapes(char* s) {
  char* out = s;
  bool quoted = false;
  for (const char* p = s; *p; ++p) {
    char c = *p;
    if (!quoted && c == ';') break;
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted && c == '\\' && p[1]) {
      ++p;
      c = *p == 'n' ? '\n' : *p == 'r' ? '\r' : *p == 't' ? '\t' : *p;
    }
    *out++ = c;
  }
  *out = '\0';
}

size_t TrimTrailingBlanks(char* s, size_t len) {
  while (len > 0 && IsBlank(s[len - 1])) --len;
  s[len] = '\0';
  return len;
}

bool EqualNoCase(const char* a, size_t alen, const char* b) {
  size_t blen = std::strlen(b);
  if (alen != blen) return false;
  for (size_t i = 0; i < alen; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

struct ParserState {
  DomainInfo* zone;
  char owner[kNameOut];  // last owner, carried from line to line
  bool haveOwner;
};

// Handles one complete (possibly gathered) line.
void HandleLine(ParserState& st, const char* line) {
  DomainInfo* zone = st.zone;
  size_t fieldLen = 0;
  while (line[fieldLen] && !IsBlank(line[fieldLen])) ++fieldLen;
  if (line[fieldLen] == '\0' || fieldLen >= kNameOut) return;  // no blank after the first field
  const char* rest = SkipBlanks(line + fieldLen);

  if (fieldLen > 0 && line[0] == '$') {
    if (EqualNoCase(line, fieldLen, "$ORIGIN")) {
      size_t n = std::strlen(rest);
      if (n < sizeof(zone->origin)) std::memcpy(zone->origin, rest, n + 1);
    } else if (EqualNoCase(line, fieldLen, "$TTL")) {
      int ttl = dns_parse_ttl(rest, nullptr);
      if (ttl >= 0) zone->default_ttl = static_cast<uint32_t>(ttl);
    }
    return;  // $INCLUDE and any other directive: no effect
  }

  if (fieldLen > 0) {
    std::memcpy(st.owner, line, fieldLen);
    st.owner[fieldLen] = '\0';
    st.haveOwner = true;
  }
  if (!st.haveOwner) return;

  uint32_t ttl = zone->default_ttl;
  uint16_t cls = DNS_CLASS_IN;
  bool haveTtl = false;
  const char* end = nullptr;
  auto readTtl = [&]() {
    if (!IsDigit(*rest)) return;
    int v = dns_parse_ttl(rest, &end);
    if (v > 0 && IsBlank(*end)) {
      ttl = static_cast<uint32_t>(v);
      haveTtl = true;
      rest = SkipBlanks(end);
    }
  };
  readTtl();
  int c = dns_class_from_text(rest, &end);
  if (c >= 0 && IsBlank(*end)) {
    cls = static_cast<uint16_t>(c);
    rest = SkipBlanks(end);
    if (!haveTtl) readTtl();
  }
  int type = dns_type_from_text(rest, &end);
  if (type < 0 || !IsBlank(*end)) return;
  const char* data = SkipBlanks(end);
  const char* origin = zone->origin;

  DnsRecord* rec = nullptr;
  switch (type) {
    case DNS_TYPE_A:
      rec = dns_record_new_a(st.owner, cls, ttl, data, origin);
      break;
    case DNS_TYPE_AAAA:
      rec = dns_record_new_aaaa(st.owner, cls, ttl, data, origin);
      break;
    case DNS_TYPE_NS: case DNS_TYPE_MD: case DNS_TYPE_MF: case DNS_TYPE_CNAME:
    case DNS_TYPE_MB: case DNS_TYPE_MG: case DNS_TYPE_MR: case DNS_TYPE_PTR:
      rec = dns_record_new_name(st.owner, static_cast<uint16_t>(type), cls, ttl, data, origin);
      break;
    case DNS_TYPE_SOA:
      rec = dns_record_new_soa(st.owner, cls, ttl, data, origin);
      break;
    case DNS_TYPE_MX:
      rec = dns_record_new_mx(st.owner, cls, ttl, data, origin);
      break;
    case DNS_TYPE_TXT:
      rec = dns_record_new_txt(st.owner, cls, ttl, data, origin, false);
      break;
    default:
      return;  // NULL, WKS, HINFO, MINFO, AXFR, MAILB, MAILA, *
  }
  if (rec) domain_info_add(zone, rec);
}

int Parse(DomainInfo* zone, LineSource& src, const char* origin) {
  size_t n = origin ? std::strlen(origin) : 0;
  if (n >= sizeof(zone->origin)) n = sizeof(zone->origin) - 1;
  if (n) std::memcpy(zone->origin, origin, n);
  zone->origin[n] = '\0';

  ParserState st{zone, {0}, false};
  char line[kLineBuffer];
  size_t gathered = 0;  // text of a parenthesised record gathered so far
  bool inParens = false;
  for (;;) {
    size_t len;
    LineResult r = ReadLine(src, line + gathered, kLineBuffer - gathered, &len);
    if (r == LineResult::kEnd) break;  // an unclosed parenthesised record is dropped
    if (r == LineResult::kTooLong) {
      if (inParens) return DNS_ERR_NO_ROOM;
      continue;  // an over-long line is skipped whole
    }
    char* s = line + gathered;
    if (len > 0 && s[len - 1] == '\r') s[--len] = '\0';
    StripCommentAndEscapes(s);
    len = TrimTrailingBlanks(s, std::strlen(s));
    if (!inParens) {
      if (len == 0) continue;
      if (s[len - 1] == '(') {
        s[len - 1] = ' ';
        gathered = len;
        inParens = true;
        continue;
      }
      HandleLine(st, line);
      continue;
    }
    if (len > 0 && s[len - 1] == ')') {
      TrimTrailingBlanks(line, gathered + len - 1);
      inParens = false;
      gathered = 0;
      HandleLine(st, line);
      continue;
    }
    gathered += len;
    if (gathered >= kLineBuffer - 1) return DNS_ERR_NO_ROOM;
  }
  return 0;
}

}  // namespace

// --- Zones ------------------------------------------------------------------------------------

DomainInfo* domain_info_new() {
  auto* zone = new (std::nothrow) DomainInfo{};
  if (!zone) return nullptr;
  zone->index = dnsindex::New();
  if (!zone->index) {
    delete zone;
    return nullptr;
  }
  return zone;
}

void domain_info_add(DomainInfo* zone, DnsRecord* rec) {
  if (!zone || !rec) return;
  rec->next = nullptr;
  rec->owner_next = nullptr;
  if (zone->tail)
    zone->tail->next = rec;
  else
    zone->head = rec;
  zone->tail = rec;
  ++zone->count;
  if (rec->type == DNS_TYPE_SOA && !zone->first_soa) zone->first_soa = rec;
  dnsindex::Add(zone->index, rec);
}

void domain_info_free(DomainInfo** zone) {
  if (!zone || !*zone) return;
  DnsRecord* rec = (*zone)->head;
  while (rec) {
    DnsRecord* next = rec->next;
    std::free(rec);
    rec = next;
  }
  dnsindex::Free((*zone)->index);
  delete *zone;
  *zone = nullptr;
}

void dns_record_free(DnsRecord* rec) { std::free(rec); }

int domain_info_parse(DomainInfo* zone, FILE* file, const char* origin) {
  if (!zone || !file) return DNS_ERR_MISSING;
  LineSource src;
  src.file = file;
  flockfile(file);
  int rc = Parse(zone, src, origin);
  funlockfile(file);
  return rc;
}

int domain_info_parse_text(DomainInfo* zone, const char* data, size_t size, const char* origin) {
  if (!zone || (!data && size > 0)) return DNS_ERR_MISSING;
  LineSource src;
  src.data = data;
  src.size = size;
  return Parse(zone, src, origin);
}

// --- Names and tokens -------------------------------------------------------------------------

int dns_read_token(const char* text, const char** end, char* out, size_t outSize) {
  if (!text || !out || outSize == 0) return DNS_ERR_MISSING;
  const char* p = text;
  const bool quoted = *p == '"';
  if (quoted) ++p;
  size_t n = 0;
  int rc = 0;
  for (;;) {
    char c = *p;
    if (c == '\0') break;
    if (quoted) {
      if (c == '"') {
        ++p;
        break;
      }
    } else if (IsBlank(c)) {
      break;
    }
    ++p;
    if (c == '\\') {
      if (*p == '\0') break;  // a backslash at the end ends the token
      if (IsDigit(*p)) {
        unsigned v = 0;
        int digits = 0;
        while (digits < 3 && IsDigit(p[digits])) v = v * 10 + static_cast<unsigned>(p[digits++] - '0');
        if (v <= 255) {
          c = static_cast<char>(v);
          p += digits;
        } else {
          continue;  // the digits are taken as ordinary characters
        }
      } else {
        c = *p++;
      }
    }
    if (n + 1 >= outSize) {
      rc = DNS_ERR_NO_ROOM;
      break;
    }
    out[n++] = c;
  }
  out[n] = '\0';
  if (end) *end = p;
  return rc < 0 ? rc : static_cast<int>(n);
}

int dns_resolve_name(const char* text, char* out, const char** end, const char* origin) {
  if (!text || !out) return DNS_ERR_MISSING;
  out[0] = '\0';
  size_t len;
  if (origin && text[0] == '@' && (text[1] == '\0' || IsBlank(text[1]))) {
    len = std::strlen(origin);
    if (len < 1 || len > kDnsMaxName) return DNS_ERR_ORIGIN;
    std::memcpy(out, origin, len + 1);
    if (end) *end = text + 1;
  } else {
    int n = dns_read_token(text, end, out, kNameOut);
    if (n < 0) {
      out[0] = '\0';
      return n;
    }
    len = std::strlen(out);  // an escaped zero byte ends the name
    if (origin) {
      if (len == 0) return 0;
      if (out[len - 1] != '.') {
        size_t olen = std::strlen(origin);
        if (len + 1 + olen > kDnsMaxName) {
          out[0] = '\0';
          return DNS_ERR_NO_ROOM;
        }
        out[len] = '.';
        std::memcpy(out + len + 1, origin, olen + 1);
        len += 1 + olen;
      }
    }
  }
  if (len > 0 && out[len - 1] == '.') out[--len] = '\0';
  return static_cast<int>(len);
}

// --- Record constructors ----------------------------------------------------------------------

DnsRecord* dns_record_new_a(const char* owner, uint16_t cls, uint32_t ttl, const char* data,
                            const char* origin) {
  char name[kNameOut];
  size_t nameLen;
  uint8_t ip[4];
  if (!data || !ResolveOwner(owner, origin, name, &nameLen) || dns_parse_ipv4(data, ip) != 0)
    return nullptr;
  DnsRecord* rec = AllocRecord(name, nameLen, DNS_TYPE_A, cls, ttl, 0, 0, nullptr, nullptr);
  if (!rec) return nullptr;
  std::memcpy(rec->ip4, ip, 4);
  rec->rdlength = 4;
  return rec;
}

DnsRecord* dns_record_new_aaaa(const char* owner, uint16_t cls, uint32_t ttl, const char* data,
                               const char* origin) {
  char name[kNameOut];
  size_t nameLen;
  uint16_t groups[8];
  if (!data || !ResolveOwner(owner, origin, name, &nameLen) || dns_parse_ipv6(data, groups) != 0)
    return nullptr;
  DnsRecord* rec = AllocRecord(name, nameLen, DNS_TYPE_AAAA, cls, ttl, 0, 0, nullptr, nullptr);
  if (!rec) return nullptr;
  std::memcpy(rec->ip6, groups, 16);
  rec->rdlength = 16;
  return rec;
}

DnsRecord* dns_record_new_name(const char* owner, uint16_t type, uint16_t cls, uint32_t ttl,
                               const char* data, const char* origin) {
  switch (type) {
    case DNS_TYPE_NS: case DNS_TYPE_MD: case DNS_TYPE_MF: case DNS_TYPE_CNAME:
    case DNS_TYPE_MB: case DNS_TYPE_MG: case DNS_TYPE_MR: case DNS_TYPE_PTR:
      break;
    default:
      return nullptr;
  }
  char name[kNameOut], target[kNameOut];
  size_t nameLen;
  if (!data || !ResolveOwner(owner, origin, name, &nameLen)) return nullptr;
  int targetLen = dns_resolve_name(data, target, nullptr, origin);
  if (targetLen < 1) return nullptr;
  char* texts;
  DnsRecord* rec = AllocRecord(name, nameLen, type, cls, ttl, 0,
                               static_cast<size_t>(targetLen) + 1, nullptr, &texts);
  if (!rec) return nullptr;
  rec->str = CopyText(texts, target, static_cast<size_t>(targetLen));
  rec->rdlength = static_cast<uint16_t>(targetLen);
  return rec;
}

DnsRecord* dns_record_new_soa(const char* owner, uint16_t cls, uint32_t ttl, const char* data,
                              const char* origin) {
  char name[kNameOut], mname[kNameOut], rname[kNameOut];
  size_t nameLen;
  if (!data || !ResolveOwner(owner, origin, name, &nameLen)) return nullptr;
  const char* p = data;
  int mlen = dns_resolve_name(p, mname, &p, origin);
  if (mlen < 1 || !IsBlank(*p)) return nullptr;
  p = SkipBlanks(p);
  int rlen = dns_resolve_name(p, rname, &p, origin);
  if (rlen < 1 || !IsBlank(*p)) return nullptr;
  p = SkipBlanks(p);
  uint64_t serial;
  if (!ReadDecimal(p, 2147483647u, &serial, &p) || !IsBlank(*p)) return nullptr;
  uint32_t timers[4];
  for (int i = 0; i < 4; ++i) {
    p = SkipBlanks(p);
    int v = dns_parse_ttl(p, &p);
    if (v < 0) return nullptr;
    if (i < 3 && !IsBlank(*p)) return nullptr;
    timers[i] = static_cast<uint32_t>(v);
  }
  char* block;
  char* texts;
  size_t textBytes = static_cast<size_t>(mlen) + 1 + static_cast<size_t>(rlen) + 1;
  DnsRecord* rec = AllocRecord(name, nameLen, DNS_TYPE_SOA, cls, ttl, sizeof(DnsSoa), textBytes,
                               &block, &texts);
  if (!rec) return nullptr;
  auto* soa = reinterpret_cast<DnsSoa*>(block);
  soa->mname = CopyText(texts, mname, static_cast<size_t>(mlen));
  soa->rname = CopyText(texts + mlen + 1, rname, static_cast<size_t>(rlen));
  soa->serial = static_cast<uint32_t>(serial);
  soa->refresh = timers[0];
  soa->retry = timers[1];
  soa->expire = timers[2];
  soa->minimum = timers[3];
  rec->soa = soa;
  rec->rdlength = static_cast<uint16_t>(textBytes + 20);
  return rec;
}

DnsRecord* dns_record_new_mx(const char* owner, uint16_t cls, uint32_t ttl, const char* data,
                             const char* origin) {
  char name[kNameOut], exchange[kNameOut];
  size_t nameLen;
  if (!data || !ResolveOwner(owner, origin, name, &nameLen)) return nullptr;
  const char* p = data;
  uint64_t preference;
  if (!ReadDecimal(p, 65535, &preference, &p) || !IsBlank(*p)) return nullptr;
  p = SkipBlanks(p);
  int xlen = dns_resolve_name(p, exchange, nullptr, origin);
  if (xlen < 1) return nullptr;
  char* block;
  char* texts;
  DnsRecord* rec = AllocRecord(name, nameLen, DNS_TYPE_MX, cls, ttl, sizeof(DnsMx),
                               static_cast<size_t>(xlen) + 1, &block, &texts);
  if (!rec) return nullptr;
  auto* mx = reinterpret_cast<DnsMx*>(block);
  mx->preference = static_cast<uint16_t>(preference);
  mx->exchanger = CopyText(texts, exchange, static_cast<size_t>(xlen));
  rec->mx = mx;
  rec->rdlength = static_cast<uint16_t>(2 + xlen);
  return rec;
}

DnsRecord* dns_record_new_txt(const char* owner, uint16_t cls, uint32_t ttl, const char* data,
                              const char* origin, bool wholeText) {
  char name[kNameOut];
  size_t nameLen;
  if (!data || !ResolveOwner(owner, origin, name, &nameLen)) return nullptr;
  char token[kMaxTxtToken];
  const char* text;
  size_t len;
  if (wholeText) {
    text = data;
    len = std::strlen(data);
    if (len > kMaxTxtWhole) return nullptr;
  } else {
    if (dns_read_token(data, nullptr, token, sizeof(token)) < 0) return nullptr;
    text = token;
    len = std::strlen(token);  // an escaped zero byte ends the text
  }
  if (len == 0) return nullptr;
  char* texts;
  DnsRecord* rec = AllocRecord(name, nameLen, DNS_TYPE_TXT, cls, ttl, 0, len + 1, nullptr, &texts);
  if (!rec) return nullptr;
  rec->str = CopyText(texts, text, len);
  rec->rdlength = static_cast<uint16_t>(len);
  return rec;
}
