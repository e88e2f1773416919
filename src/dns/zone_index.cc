#include "dns/zone_index.h"

#include <cstdlib>

#include "dns/dns_message.h"

namespace {

inline unsigned char Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// FNV-1a over the lower-case bytes.
inline uint32_t HashName(const char* name) {
  uint32_t h = 2166136261u;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
    h ^= Lower(*p);
    h *= 16777619u;
  }
  return h;
}

// 16 bytes: lookups touch only these. The last record of each owner, needed only while adding,
// lives in a parallel array.
struct Slot {
  DnsRecord* first;  // null: empty slot
  uint32_t hash;
};

}  // namespace

struct DnsOwnerIndex {
  Slot* slots;
  DnsRecord** lasts;  // lasts[i]: the last record of the owner in slots[i]
  size_t mask;  // capacity - 1 (capacity is a power of two)
  size_t used;
  bool broken;  // growth failed: the index no longer covers every record
};

namespace dnsindex {

bool NameEqual(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    if (*x != *y && Lower(*x) != Lower(*y)) return false;
    if (*x == 0) return true;
  }
}

DnsOwnerIndex* New() {
  auto* index = static_cast<DnsOwnerIndex*>(std::calloc(1, sizeof(DnsOwnerIndex)));
  if (!index) return nullptr;
  index->slots = static_cast<Slot*>(std::calloc(16, sizeof(Slot)));
  index->lasts = static_cast<DnsRecord**>(std::calloc(16, sizeof(DnsRecord*)));
  if (!index->slots || !index->lasts) {
    Free(index);
    return nullptr;
  }
  index->mask = 15;
  return index;
}

void Free(DnsOwnerIndex* index) {
  if (!index) return;
  std::free(index->slots);
  std::free(index->lasts);
  std::free(index);
}

static bool Grow(DnsOwnerIndex* index) {
  size_t capacity = (index->mask + 1) * 2;
  auto* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
  auto* lasts = static_cast<DnsRecord**>(std::calloc(capacity, sizeof(DnsRecord*)));
  if (!slots || !lasts) {
    std::free(slots);
    std::free(lasts);
    return false;
  }
  for (size_t i = 0; i <= index->mask; ++i) {
    const Slot& s = index->slots[i];
    if (!s.first) continue;
    size_t j = s.hash & (capacity - 1);
    while (slots[j].first) j = (j + 1) & (capacity - 1);
    slots[j] = s;
    lasts[j] = index->lasts[i];
  }
  std::free(index->slots);
  std::free(index->lasts);
  index->slots = slots;
  index->lasts = lasts;
  index->mask = capacity - 1;
  return true;
}

void Add(DnsOwnerIndex* index, DnsRecord* rec) {
  if (!index || index->broken || !rec || !rec->name) return;
  rec->owner_next = nullptr;
  uint32_t hash = HashName(rec->name);
  for (size_t i = hash & index->mask;; i = (i + 1) & index->mask) {
    Slot& s = index->slots[i];
    if (!s.first) break;
    if (s.hash == hash && NameEqual(s.first->name, rec->name)) {
      index->lasts[i]->owner_next = rec;
      index->lasts[i] = rec;
      return;
    }
  }
  // A new owner: keep the load at three quarters at most (linear probing stays short, and the
  // table stays small enough to be mostly in cache for large zones).
  if ((index->used + 1) * 4 > (index->mask + 1) * 3 && !Grow(index)) {
    index->broken = true;
    return;
  }
  size_t i = hash & index->mask;
  while (index->slots[i].first) i = (i + 1) & index->mask;
  index->slots[i] = Slot{rec, hash};
  index->lasts[i] = rec;
  ++index->used;
}

bool Find(const DnsOwnerIndex* index, const char* name, const DnsRecord** first) {
  if (!index || index->broken) return false;
  *first = nullptr;
  uint32_t hash = HashName(name);
  for (size_t i = hash & index->mask;; i = (i + 1) & index->mask) {
    const Slot& s = index->slots[i];
    if (!s.first) return true;
    if (s.hash == hash) {
      // The owner text follows the record in its allocation, usually on the next cache line:
      // fetch both lines at once rather than one after the other.
      __builtin_prefetch(reinterpret_cast<const char*>(s.first) + 64);
      if (NameEqual(s.first->name, name)) {
        *first = s.first;
        return true;
      }
    }
  }
}

}  // namespace dnsindex
