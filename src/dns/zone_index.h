// Owner index of a zone: a hash table from the lower-case owner name to the chain of that
// owner's records (DnsRecord::owner_next, in list order). Owned by its DomainInfo, filled by
// domain_info_add and read by dns_make_response, so that answering one question costs the same
// for a zone of 10 records as for one of 100,000.
// Not synchronised: built while the zone is private to one thread, then only read (any number of
// readers at once).
#pragma once

#include <cstddef>
#include <cstdint>

struct DnsRecord;
struct DnsOwnerIndex;

namespace dnsindex {

// ASCII case-insensitive equality of two NUL-terminated names.
bool NameEqual(const char* a, const char* b);

// A new empty index, or null when memory is short.
DnsOwnerIndex* New();
void Free(DnsOwnerIndex* index);
// Links rec (already appended to the zone list) behind the earlier records of its owner. When the
// table cannot grow the index marks itself unusable and lookups fall back to the list.
void Add(DnsOwnerIndex* index, DnsRecord* rec);
// True when the index can answer; *first is then the first record of the owner name, or null.
bool Find(const DnsOwnerIndex* index, const char* name, const DnsRecord** first);

}  // namespace dnsindex
