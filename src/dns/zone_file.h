// Zones in memory and the zone file reader: creating, filling and freeing a DomainInfo, the record
// constructors that turn one record's text fields into a DnsRecord (shared by zone files and the
// database zones), and the parser of domain info files in the RFC 1035 master-file layout
// ($ORIGIN, $TTL, $INCLUDE ignored, parentheses, comments, quotes and escapes; owner, TTL, class,
// type, data with TTL and class in either order and each optional).
//
// Ownership: a zone owns every record added to it, each record owns its texts (one allocation per
// record), and domain_info_free releases them all. A record that was never added is released with
// dns_record_free. The zone keeps an owner index next to its list (see zone_index.h); records
// must not be changed once added.
//
// Thread safety: a zone is filled by one thread while it is private to it; once filled it may be
// read (dns_make_response) by any number of threads at once. The text helpers keep no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "dns/dns_message.h"

// A new empty zone (all fields zero, empty origin), or null when memory is short.
DomainInfo* domain_info_new();
// Appends rec at the tail of the zone, counts it and indexes it under its owner name. The zone
// takes ownership. Nothing happens when either is null.
void domain_info_add(DomainInfo* zone, DnsRecord* rec);
// Frees every record and the zone, and clears *zone. Safe with null.
void domain_info_free(DomainInfo** zone);
// Frees one record that was not added to a zone.
void dns_record_free(DnsRecord* rec);

// Reads a domain info file into zone; origin (may be null: empty) is the initial origin. Lines
// that cannot be used are skipped without a message. Returns 0, -2 when a parenthesised record
// grows past 4095 characters, or -3 for a missing zone or file. The caller closes the file, and
// frees the zone when an error is returned.
int domain_info_parse(DomainInfo* zone, FILE* file, const char* origin);
// The same over text in memory (size bytes, need not be NUL-terminated).
int domain_info_parse_text(DomainInfo* zone, const char* data, size_t size, const char* origin);

// Resolves the name at the start of text into out (256 bytes): "@" (followed by a blank or the
// end) stands for origin; with an origin, a name without a final '.' gets '.' and the origin
// appended; a final '.' is removed. *end (when given) is left after the name's token. Returns the
// length of the name, -2 when it would pass 255 characters, -8 for "@" with an empty or
// over-long origin, -3 for missing arguments. origin may be null (no origin).
int dns_resolve_name(const char* text, char* out, const char** end, const char* origin);

// Reads one token: a quoted string (to the next '"', blanks included) or a word up to the first
// blank. A backslash takes the next character literally, or a decimal number of at most 255 (up
// to three digits) as that byte. *end (when given) is left after the token (after a closing
// quote). Returns the token length, -2 when it does not fit outSize with its terminator, -3 for
// missing arguments.
int dns_read_token(const char* text, const char** end, char* out, size_t outSize);

// Record constructors. Each takes the owner text, the class, the TTL, the data text in the zone
// file form of its type and the origin for relative names (may be null), and returns a new record
// or null when any field is invalid. The caller owns the result until domain_info_add.
DnsRecord* dns_record_new_a(const char* owner, uint16_t cls, uint32_t ttl, const char* data,
                            const char* origin);
DnsRecord* dns_record_new_aaaa(const char* owner, uint16_t cls, uint32_t ttl, const char* data,
                               const char* origin);
// type: NS, MD, MF, CNAME, MB, MG, MR or PTR (anything else gives null).
DnsRecord* dns_record_new_name(const char* owner, uint16_t type, uint16_t cls, uint32_t ttl,
                               const char* data, const char* origin);
// data: "mname rname serial refresh retry expire minimum" (timers as TTL text).
DnsRecord* dns_record_new_soa(const char* owner, uint16_t cls, uint32_t ttl, const char* data,
                              const char* origin);
// data: "preference exchange" (preference 0-65535).
DnsRecord* dns_record_new_mx(const char* owner, uint16_t cls, uint32_t ttl, const char* data,
                             const char* origin);
// wholeText false (zone files): data is one token, a quoted string or a word, 1 to 2046
// characters after escapes. wholeText true (database zones): data is taken as it stands, 1 to
// 2047 characters.
DnsRecord* dns_record_new_txt(const char* owner, uint16_t cls, uint32_t ttl, const char* data,
                              const char* origin, bool wholeText);
