// The response rings: four fixed rings (A, PTR, MX and TXT questions) of whole upstream answers of
// at most 512 bytes, handed back with the asking client's id while they are younger than
// DNSCacheTTL. Entries are kept in the order they were stored; a lookup returns the oldest
// unexpired answer for the name (any letter case) and drops expired entries from the front; a full
// ring overwrites its oldest answer. Memory is allocated once, at construction.
//
// Each ring keeps an index beside the entries: a fixed hash table from the name (without regard to
// case) to the chain of its live entries in store order, so a lookup costs a few probes instead of
// a walk over up to 1023 names. While the stored times run forward (the clock was not set back
// between stores), expired entries can only be at the front, and the index gives exactly the entry
// the walk would; otherwise the lookup walks the ring as written above.
//
// Thread safety: each ring has its own lock, held for a whole lookup or store; lookups run on the
// service packet thread and stores on the upstream packet thread.
#pragma once

#include <cstdint>
#include <memory>

#include "dns/dns_message.h"
#include "shell/locks.h"

class ResponseRings {
 public:
  static constexpr int kEntries = 1024;
  static constexpr uint16_t kMaxAnswer = 512;

  ResponseRings();
  ~ResponseRings();

  // Copies the stored answer over message (keeping the request's id in its first two bytes) and
  // sets *length. False on a miss, for a type without a ring, or an empty name.
  bool Lookup(uint32_t ttl, bool log, uint16_t* length, uint8_t* message, const DnsQuestion& question);
  // Stores an answer of 1 to 512 bytes for the question's name and type (a type without a ring:
  // nothing happens).
  void Store(bool log, uint16_t length, const uint8_t* answer, const DnsQuestion& question);
  // The same at a given time (seconds since 1970) instead of the clock's.
  bool LookupAt(int64_t now, uint32_t ttl, bool log, uint16_t* length, uint8_t* message,
                const DnsQuestion& question);
  void StoreAt(int64_t now, bool log, uint16_t length, const uint8_t* answer, const DnsQuestion& question);
  // Empties every ring.
  void Clear();
  // Live entries of the ring of a type (0 for a type without a ring).
  int Size(uint16_t type);

 private:
  struct Ring;
  Ring* RingOf(uint16_t type);
  std::unique_ptr<Ring[]> rings_;
};
