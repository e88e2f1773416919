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

struct Slot {
  DnsRecord* first;  // null: empty slot
  DnsRecord* last;
  uint32_t hash;
};

}  // namespace

struct DnsOwnerIndex {
  Slot* slots;
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
  if (!index->slots) {
    std::free(index);
    return nullptr;
  }
  index->mask = 15;
  return index;
}

void Free(DnsOwnerIndex* index) {
  if (!index) return;
  std::free(index->slots);
  std::free(index);
}

static bool Grow(DnsOwnerIndex* index) {
  size_t capacity = (index->mask + 1) * 2;
  auto* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
  if (!slots) return false;
  for (size_t i = 0; i <= index->mask; ++i) {
    const Slot& s = index->slots[i];
    if (!s.first) continue;
    size_t j = s.hash & (capacity - 1);
    while (slots[j].first) j = (j + 1) & (capacity - 1);
    slots[j] = s;
  }
  std::free(index->slots);
  index->slots = slots;
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
      s.last->owner_next = rec;
      s.last = rec;
      return;
    }
  }
  // A new owner: keep the load at one half at most.
  if ((index->used + 1) * 2 > index->mask + 1 && !Grow(index)) {
    index->broken = true;
    return;
  }
  size_t i = hash & index->mask;
  while (index->slots[i].first) i = (i + 1) & index->mask;
  index->slots[i] = Slot{rec, rec, hash};
  ++index->used;
}

bool Find(const DnsOwnerIndex* index, const char* name, const DnsRecord** first) {
  if (!index || index->broken) return false;
  *first = nullptr;
  uint32_t hash = HashName(name);
  for (size_t i = hash & index->mask;; i = (i + 1) & index->mask) {
    const Slot& s = index->slots[i];
    if (!s.first) return true;
    if (s.hash == hash && NameEqual(s.first->name, name)) {
      *first = s.first;
      return true;
    }
  }
}

}  // namespace dnsindex
