#include "server/response_ring.h"

#include <cstring>
#include <strings.h>

#include "shell/log.h"
#include "shell/platform.h"

namespace {
constexpr int32_t kSiteLookup = 10201;
constexpr int32_t kSiteStore = 10202;
}  // namespace

struct ResponseRings::Ring {
  struct Entry {
    char name[256];
    int64_t stored;
    uint16_t length;
    uint8_t answer[kMaxAnswer];
  };
  std::unique_ptr<Entry[]> entries{new Entry[kEntries]()};
  CriticalLock lock;
  int start = 0;
  int end = 0;
  int Live() const { return (end - start + kEntries) % kEntries; }
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
  if (*length == 0 || message == nullptr || question.name == nullptr || question.name[0] == '\0') return false;
  Ring* ring = RingOf(question.qtype);
  if (ring == nullptr) return false;
  const int64_t now = NowSeconds();
  CriticalLockGuard guard(ring->lock, kSiteLookup);
  bool shrank = false, hit = false;
  for (int i = ring->start, walked = 0; i != ring->end && walked < kEntries; i = (i + 1) % kEntries, ++walked) {
    Ring::Entry& e = ring->entries[i];
    if (now - e.stored >= static_cast<int64_t>(ttl)) {
      ring->start = (i + 1) % kEntries;
      shrank = true;
      continue;
    }
    if (strcasecmp(e.name, question.name) == 0) {
      uint8_t id[2] = {message[0], message[1]};
      *length = e.length;
      std::memcpy(message, e.answer, e.length);
      message[0] = id[0];
      message[1] = id[1];
      hit = true;
      break;
    }
  }
  if (shrank && log) LogMessage("DNS CACHE %s SIZE: %i", dns_type_name(question.qtype), ring->Live());
  return hit;
}

void ResponseRings::Store(bool log, uint16_t length, const uint8_t* answer, const DnsQuestion& question) {
  if (length == 0 || length > kMaxAnswer || answer == nullptr || question.name == nullptr || question.name[0] == '\0')
    return;
  Ring* ring = RingOf(question.qtype);
  if (ring == nullptr) return;
  const int64_t now = NowSeconds();
  CriticalLockGuard guard(ring->lock, kSiteStore);
  Ring::Entry& e = ring->entries[ring->end];
  std::strncpy(e.name, question.name, sizeof(e.name) - 1);
  e.name[sizeof(e.name) - 1] = '\0';
  e.stored = now;
  e.length = length;
  std::memcpy(e.answer, answer, length);
  ring->end = (ring->end + 1) % kEntries;
  if (ring->end == ring->start) ring->start = (ring->start + 1) % kEntries;
  if (log) LogMessage("DNS CACHE %s SIZE: %i", dns_type_name(question.qtype), ring->Live());
}

void ResponseRings::Clear() {
  for (int r = 0; r < 4; ++r) {
    CriticalLockGuard guard(rings_[r].lock, kSiteStore);
    std::memset(static_cast<void*>(rings_[r].entries.get()), 0, sizeof(Ring::Entry) * kEntries);
    rings_[r].start = rings_[r].end = 0;
  }
}

int ResponseRings::Size(uint16_t type) {
  Ring* ring = RingOf(type);
  if (ring == nullptr) return 0;
  CriticalLockGuard guard(ring->lock, kSiteLookup);
  return ring->Live();
}
