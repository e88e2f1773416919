#include "server/response_ring.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "shell/log.h"
#include "shell/platform.h"

namespace {
constexpr int32_t kSiteLookup = 10201;
constexpr int32_t kSiteStore = 10202;

inline unsigned char Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

// ASCII case-insensitive equality, the names' compare.
bool SameName(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char x = Lower(static_cast<unsigned char>(*a)), y = Lower(static_cast<unsigned char>(*b));
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

// FNV-1a over the lower-case name.
uint32_t NameHash(const char* name) {
  uint32_t h = 2166136261u;
  for (; *name; ++name) {
    h ^= Lower(static_cast<unsigned char>(*name));
    h *= 16777619u;
  }
  return h;
}

inline int Next(int i) { return i + 1 == ResponseRings::kEntries ? 0 : i + 1; }
inline int Prev(int i) { return i == 0 ? ResponseRings::kEntries - 1 : i - 1; }
}  // namespace

struct ResponseRings::Ring {
  struct Entry {
    char name[256];
    int64_t stored;
    uint16_t length;
    int16_t nextSame;  // the next live entry of the same name (stored later), -1 for none
    bool descends;     // stored earlier than the entry before it (the clock was set back)
    uint32_t hash;
    uint8_t answer[kMaxAnswer];
  };
  // One name of the index: its live entries from head (oldest) to tail (newest) through nextSame.
  struct Slot {
    int16_t head;  // -1: free
    int16_t tail;
    uint32_t hash;
  };
  static constexpr int kSlots = 2 * kEntries;  // at most half full: 1023 names at most

  struct FreeDeleter {
    void operator()(Entry* p) const { std::free(p); }
  };
  // Zeroed pages from the system: an entry costs memory only once an answer is stored in it.
  std::unique_ptr<Entry[], FreeDeleter> entries{static_cast<Entry*>(std::calloc(kEntries, sizeof(Entry)))};
  Slot slots[kSlots];
  CriticalLock lock;
  int start = 0;
  int end = 0;
  // Live entries, other than the first, whose descends flag is set; 0 means the stored times run
  // forward from start to end, so expired entries can only be at the front.
  int inversions = 0;

  Ring() {
    if (!entries) throw std::bad_alloc();
    ClearIndex();
  }
  int Live() const { return (end - start + kEntries) % kEntries; }
  void ClearIndex() {
    for (Slot& s : slots) s = Slot{-1, -1, 0};
  }

  // The slot of the name, or -1.
  int Find(uint32_t hash, const char* name) const {
    for (int pos = static_cast<int>(hash & (kSlots - 1));; pos = (pos + 1) & (kSlots - 1)) {
      const Slot& s = slots[pos];
      if (s.head < 0) return -1;
      if (s.hash == hash && SameName(entries[s.head].name, name)) return pos;
    }
  }

  // Links the entry at index i (name and hash set) behind the other live entries of its name.
  void Append(int i) {
    Entry& e = entries[i];
    e.nextSame = -1;
    int pos = Find(e.hash, e.name);
    if (pos >= 0) {
      entries[slots[pos].tail].nextSame = static_cast<int16_t>(i);
      slots[pos].tail = static_cast<int16_t>(i);
      return;
    }
    for (pos = static_cast<int>(e.hash & (kSlots - 1)); slots[pos].head >= 0; pos = (pos + 1) & (kSlots - 1)) {
    }
    slots[pos] = Slot{static_cast<int16_t>(i), static_cast<int16_t>(i), e.hash};
  }

  // Removes the entry at start, the oldest live one, from the index and the ring.
  void DropFront() {
    const Entry& e = entries[start];
    int pos = Find(e.hash, e.name);
    if (pos >= 0) {  // always found: the entry at start heads the chain of its name
      slots[pos].head = e.nextSame;
      if (slots[pos].head < 0) EraseSlot(pos);
    }
    start = Next(start);
    if (start != end && entries[start].descends) --inversions;  // now first: it no longer counts
  }

  // Frees a slot of the linear-probing table, moving later slots of the same run back.
  void EraseSlot(int hole) {
    for (int j = hole;;) {
      j = (j + 1) & (kSlots - 1);
      if (slots[j].head < 0) break;
      int home = static_cast<int>(slots[j].hash & (kSlots - 1));
      // The slot at j stays when its home lies cyclically in (hole, j].
      bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
      if (stays) continue;
      slots[hole] = slots[j];
      hole = j;
    }
    slots[hole] = Slot{-1, -1, 0};
  }
};

ResponseRings::ResponseRings() : rings_(new Ring[4]) {}
ResponseRings::~ResponseRings() = default;

ResponseRings::Ring* ResponseRings::RingOf(uint16_t type) {
  switch (type) {
    case DNS_TYPE_A: return &rings_[0];
    case DNS_TYPE_PTR: return &rings_[1];
    case DNS_TYPE_MX: return &rings_[2];
    case DNS_TYPE_TXT: return &rings_[3];
    default: return nullptr;
  }
}

bool ResponseRings::Lookup(uint32_t ttl, bool log, uint16_t* length, uint8_t* message, const DnsQuestion& question) {
  return LookupAt(NowSeconds(), ttl, log, length, message, question);
}

void ResponseRings::Store(bool log, uint16_t length, const uint8_t* answer, const DnsQuestion& question) {
  StoreAt(NowSeconds(), log, length, answer, question);
}

bool ResponseRings::LookupAt(int64_t now, uint32_t ttl, bool log, uint16_t* length, uint8_t* message,
                             const DnsQuestion& question) {
  if (*length == 0 || message == nullptr || question.name == nullptr || question.name[0] == '\0') return false;
  Ring* ring = RingOf(question.qtype);
  if (ring == nullptr) return false;
  CriticalLockGuard guard(ring->lock, kSiteLookup);
  const int64_t life = static_cast<int64_t>(ttl);
  bool shrank = false;
  int hit = -1;
  if (ring->inversions == 0) {
    // Stored times run forward: the walk would drop the expired entries at the front, then stop at
    // the oldest live entry of the name, the head of its chain.
    while (ring->start != ring->end && now - ring->entries[ring->start].stored >= life) {
      ring->DropFront();
      shrank = true;
    }
    int pos = ring->Find(NameHash(question.name), question.name);
    if (pos >= 0) hit = ring->slots[pos].head;
  } else {
    // The clock was set back between stores: walk from start, and an expired entry drops every
    // entry up to and including it.
    for (int i = ring->start, walked = 0; i != ring->end && walked < kEntries; i = Next(i), ++walked) {
      Ring::Entry& e = ring->entries[i];
      if (now - e.stored >= life) {
        while (ring->start != Next(i)) ring->DropFront();
        shrank = true;
        continue;
      }
      if (SameName(e.name, question.name)) {
        hit = i;
        break;
      }
    }
  }
  if (hit >= 0) {
    const Ring::Entry& e = ring->entries[hit];
    uint8_t id[2] = {message[0], message[1]};
    *length = e.length;
    std::memcpy(message, e.answer, e.length);
    message[0] = id[0];
    message[1] = id[1];
  }
  if (shrank && log) LogMessage("DNS CACHE %s SIZE: %i", dns_type_name(question.qtype), ring->Live());
  return hit >= 0;
}

void ResponseRings::StoreAt(int64_t now, bool log, uint16_t length, const uint8_t* answer,
                            const DnsQuestion& question) {
  if (length == 0 || length > kMaxAnswer || answer == nullptr || question.name == nullptr || question.name[0] == '\0')
    return;
  Ring* ring = RingOf(question.qtype);
  if (ring == nullptr) return;
  CriticalLockGuard guard(ring->lock, kSiteStore);
  Ring::Entry& e = ring->entries[ring->end];
  std::strncpy(e.name, question.name, sizeof(e.name) - 1);
  e.name[sizeof(e.name) - 1] = '\0';
  e.hash = NameHash(e.name);
  e.stored = now;
  e.length = length;
  std::memcpy(e.answer, answer, length);
  e.descends = ring->start != ring->end && now < ring->entries[Prev(ring->end)].stored;
  if (e.descends) ++ring->inversions;
  ring->Append(ring->end);
  ring->end = Next(ring->end);
  if (ring->end == ring->start) ring->DropFront();  // full: the oldest answer goes
  if (log) LogMessage("DNS CACHE %s SIZE: %i", dns_type_name(question.qtype), ring->Live());
}

void ResponseRings::Clear() {
  for (int r = 0; r < 4; ++r) {
    CriticalLockGuard guard(rings_[r].lock, kSiteStore);
    rings_[r].start = rings_[r].end = 0;
    rings_[r].inversions = 0;
    rings_[r].ClearIndex();
  }
}

int ResponseRings::Size(uint16_t type) {
  Ring* ring = RingOf(type);
  if (ring == nullptr) return 0;
  CriticalLockGuard guard(ring->lock, kSiteLookup);
  return ring->Live();
}
