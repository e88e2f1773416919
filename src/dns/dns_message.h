// DNS message codec: free functions that turn RFC 1035 wire messages (UDP, at most 8192 bytes)
// into plain structures and back, build a response for one question out of a zone held in memory,
// and the text tables and parsers (type and class names, TTL, IPv4 and IPv6 text) that the zone
// readers share. Names are exchanged as dotted text without a trailing dot; the root is "".
//
// Owns nothing: every function works on caller-owned buffers, never allocates and keeps no state
// between calls (apart from one character table built once under a once-guard). Zones
// (DomainInfo) and their records are created, indexed and freed by zone_file.h.
//
// Thread safety: every function may run on any number of threads at once. dns_make_response only
// reads the zone; a zone must not be changed (domain_info_add) while responses are built from it.
//
// Errors are negative integers shared with the zone reader and the domain directory:
#pragma once

#include <cstddef>
#include <cstdint>

enum DnsError : int {
  DNS_ERR_MALFORMED = -1,       // short message, data past the end, bad pointer, bad text
  DNS_ERR_NO_ROOM = -2,         // output text too small, or a message would pass 8192 bytes
  DNS_ERR_MISSING = -3,         // missing argument or empty input; SOA/MX numbers past the data
  DNS_ERR_NO_QUESTION = -4,     // qdcount is 0
  DNS_ERR_TOO_MANY = -5,        // a response holds more records than the caller allows
  DNS_ERR_MULTI_QUESTION = -6,  // a response holds more than one question
  DNS_ERR_ORIGIN = -8,          // "@" with an empty or over-long origin
  DNS_ERR_BAD_CHAR = -16,       // a decoded name holds a byte outside the name character set
};

constexpr size_t kDnsMaxMessage = 8192;      // largest message read or written
constexpr size_t kDnsNameBufferSize = 2048;  // name buffer of the two parsers
constexpr size_t kDnsCompressEntries = 256;  // compression table while writing one message
constexpr size_t kDnsHeaderSize = 12;
constexpr size_t kDnsMaxName = 255;          // dotted text, without the terminator

enum DnsType : uint16_t {
  DNS_TYPE_A = 1, DNS_TYPE_NS = 2, DNS_TYPE_MD = 3, DNS_TYPE_MF = 4, DNS_TYPE_CNAME = 5,
  DNS_TYPE_SOA = 6, DNS_TYPE_MB = 7, DNS_TYPE_MG = 8, DNS_TYPE_MR = 9, DNS_TYPE_NULL = 10,
  DNS_TYPE_WKS = 11, DNS_TYPE_PTR = 12, DNS_TYPE_HINFO = 13, DNS_TYPE_MINFO = 14,
  DNS_TYPE_MX = 15, DNS_TYPE_TXT = 16, DNS_TYPE_AAAA = 28, DNS_TYPE_AXFR = 252,
  DNS_TYPE_MAILB = 253, DNS_TYPE_MAILA = 254, DNS_TYPE_ANY = 255,
};
enum DnsClass : uint16_t {
  DNS_CLASS_IN = 1, DNS_CLASS_CS = 2, DNS_CLASS_CH = 3, DNS_CLASS_HS = 4, DNS_CLASS_ANY = 255,
};
enum DnsRcode : int {
  DNS_RCODE_OK = 0, DNS_RCODE_FORMERR = 1, DNS_RCODE_SERVFAIL = 2, DNS_RCODE_NXDOMAIN = 3,
  DNS_RCODE_NOTIMP = 4, DNS_RCODE_REFUSED = 5,
};

// The 12-byte header, every field in host order. flags: bit 15 qr, bits 11-14 opcode, bit 10 aa,
// bit 9 tc, bit 8 rd, bit 7 ra, bits 4-6 z, bits 0-3 rcode.
struct DnsHeader {
  uint16_t id;
  uint16_t flags;
  uint16_t qdcount;
  uint16_t ancount;
  uint16_t nscount;
  uint16_t arcount;
};

struct DnsQuestion {
  char* name;  // dotted text in the caller's name buffer
  uint16_t qtype;
  uint16_t qclass;
};

// SOA data: the block is followed by its two texts (same allocation or name buffer).
struct DnsSoa {
  char* mname;
  char* rname;
  uint32_t serial;
  uint32_t refresh;
  uint32_t retry;
  uint32_t expire;
  uint32_t minimum;
};

// MX data: the block is followed by its text.
struct DnsMx {
  uint16_t preference;
  char* exchanger;
};

// One resource record: parsed from a response (texts in the caller's name buffer) or held by a
// zone (texts in the record's own allocation, see zone_file.h). The value depends on the type:
// A ip4, AAAA ip6 (network order); NS, MD, MF, CNAME, MB, MG, MR, PTR str (target name); TXT str
// (the text, NUL-terminated); SOA soa; MX mx; any other type nothing.
// `class_` is the record class (the word `class` is reserved in C++).
struct DnsRecord {
  char* name;        // owner name, dotted text
  uint16_t type;
  uint16_t class_;
  uint32_t ttl;      // written to the wire as stored
  uint16_t rdlength; // parsed: RDLENGTH from the wire; zone: size of the data held. Never written.
  union {
    uint8_t ip4[4];
    uint8_t ip6[16];
    char* str;
    DnsSoa* soa;
    DnsMx* mx;
  };
  DnsRecord* next;        // zone records: the following record of the zone in list order
  DnsRecord* owner_next;  // zone records: the following record with the same owner (index chain)
};

struct DnsOwnerIndex;  // zone_file.cc: hash of lower-case owner names, built by domain_info_add

// A zone in memory. Create, fill and free it only with the functions of zone_file.h: they keep
// the lookup index (owners, first SOA) in step with the record list. The zone owns its records.
struct DomainInfo {
  char origin[256];      // origin name, NUL-terminated, at most 255 characters
  uint32_t default_ttl;  // TTL for records that state none; 0 until a $TTL line
  int32_t count;         // records in the list
  int64_t loaded;        // seconds since 1970 when the zone entered the cache; 0 = never expires
  DnsRecord* head;       // records in the order in which they were added
  DnsRecord* tail;
  DnsRecord* first_soa;  // the first SOA record of the list, or none
  DnsOwnerIndex* index;  // owner lookup; none when it could not be allocated (then: list scan)
};

// Decodes the name at *pos (0 when pos is null) into out (outSize bytes). Returns the text length
// plus one (1 for the root). On success *pos moves past the name as it lies in place: past its
// zero byte, or past the first compression pointer. Pointers must point strictly backwards.
// Errors: -1 (runs past the end, bad pointer), -2 (out too small), -3 (no out buffer),
// -16 (a byte outside A-Z a-z 0-9 - _ * . ; the text then ends with '?'). out is always
// terminated.
int dns_read_name(size_t msgLen, const uint8_t* msg, char* out, size_t outSize, size_t* pos);

// Writes name at offset in msg (an 8192-byte buffer), compressed against names/offsets (256
// entries each, all zero/null at the start of a message), and remembers new suffixes there.
// Returns the bytes written (1 for the root). Errors: -2 (a byte would lie past index 8191),
// -1 (a label longer than 63 bytes, which the wire cannot carry), -3 (missing argument).
int dns_write_name(uint8_t* msg, const char* name, size_t offset, const char** names,
                   uint16_t* offsets);

// Parses the header and first question of a request. nameBuffer holds kDnsNameBufferSize bytes;
// question->name points into it and keeps any partially decoded text on error.
// Returns 0, or -1, -2, -3, -4, -16.
int dns_parse_request(DnsHeader* header, const uint8_t* msg, size_t msgLen, DnsQuestion* question,
                      char* nameBuffer);

// Parses a whole response: header, its one question and every answer, authority and additional
// record into records[0 .. *capacity). On entry *capacity is the number of slots (0 is -3); on
// success it becomes the number of records. All texts and blocks live in nameBuffer
// (kDnsNameBufferSize bytes). Returns 0, or -1, -2, -3, -4, -5, -6, -16.
int dns_parse_response(const uint8_t* msg, size_t msgLen, DnsHeader* header, DnsQuestion* question,
                       DnsRecord* records, size_t* capacity, char* nameBuffer);

// Builds a complete response to question into msg (8192 bytes; may be the request's buffer) from
// zone (may be null: rcode 3). A non-zero rcode gives a response without records. Answers are the
// records of the question name with its type, in zone order; CNAMEs are followed (at most 9, and
// only for A and AAAA questions); a name without answers gets the zone's SOA in the authority
// section, an unknown name rcode 3. Answers that would pass 8192 bytes are left out (rcode 2 if
// not even the first fits). Returns the response length, or -1, -2, -3.
int dns_make_response(const DnsQuestion* question, uint8_t* msg, uint16_t id, uint16_t flags,
                      int rcode, const DomainInfo* zone);

// Constant names for numbers ("UNKNOWN" for anything outside the tables).
const char* dns_type_name(uint16_t type);
const char* dns_class_name(uint16_t cls);

// The number whose name begins text (case-insensitive prefix, first hit in table order: AAAA
// before A, A before AXFR); *rest (when given) is set just past the name. -1 no match, -3 empty.
int dns_type_from_text(const char* text, const char** rest);
int dns_class_from_text(const char* text, const char** rest);

// TTL text: a decimal number and one optional unit letter (D, H, M, W in either case). Returns
// the seconds; *end (when given) is left after the number or unit. -1 when the text does not
// begin with a digit or the value passes 2147483647, -3 for empty text.
int dns_parse_ttl(const char* text, const char** end);

// Dotted IPv4 text into 4 bytes in network order; what follows the fourth number is not examined.
// 0, -1, or -3 for empty text.
int dns_parse_ipv4(const char* text, uint8_t out[4]);

// IPv6 text into eight 16-bit groups in network order (so the array is the 16 wire bytes). A
// dotted IPv4 tail (::ffff:1.2.3.4) fills the last two groups. 0, -1, or -3 for empty text.
int dns_parse_ipv6(const char* text, uint16_t out[8]);

// Text form of eight groups in network order, for log lines: lowercase hex without leading
// zeros, the first run of two or more zero groups as "::". out must hold 40 bytes; returns out.
char* dns_format_ipv6(const uint16_t groups[8], char* out);
