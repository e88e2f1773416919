#include "acl/domain_name_set.h"

#include <cstring>

namespace {

constexpr uint64_t kSeed = 0xcbf29ce484222325ull;
constexpr uint64_t kPrime = 0x100000001b3ull;

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// The raw hash runs from the last character of a name to its first, so that one pass over a name
// gives the hash of every suffix (every parent) on the way.
inline uint64_t Step(uint64_t h, char c) {
  return (h ^ static_cast<uint8_t>(Lower(c))) * kPrime;
}

inline uint32_t Finish(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ull;
  h ^= h >> 33;
  return static_cast<uint32_t>(h);
}

uint64_t RawHash(const char* name, size_t len) {
  uint64_t h = kSeed;
  for (size_t i = len; i-- > 0;) h = Step(h, name[i]);
  return h;
}

}  // namespace

DomainNameSet::DomainNameSet() { Clear(); }

void DomainNameSet::Clear() {
  names_.clear();
  slots_.assign(16, Slot{kEmpty, 0});
  size_ = 0;
}

void DomainNameSet::Grow() {
  std::vector<Slot> old(slots_.size() * 2, Slot{kEmpty, 0});
  old.swap(slots_);
  size_t mask = slots_.size() - 1;
  for (const Slot& s : old) {
    if (s.offset == kEmpty) continue;
    size_t i = s.hash & mask;
    while (slots_[i].offset != kEmpty) i = (i + 1) & mask;
    slots_[i] = s;
  }
}

bool DomainNameSet::Probe(const char* name, size_t len, uint64_t rawHash) const {
  uint32_t hash = Finish(rawHash);
  size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& s = slots_[i];
    if (s.offset == kEmpty) return false;
    if (s.hash != hash) continue;
    const char* entry = names_.data() + s.offset;
    if (static_cast<uint8_t>(entry[0]) != len) continue;
    size_t k = 0;
    while (k < len && entry[1 + k] == Lower(name[k])) ++k;
    if (k == len) return true;
  }
}

bool DomainNameSet::Add(std::string_view name) {
  size_t len = name.size();
  if (len == 0 || len > kMaxName) return false;
  uint64_t raw = RawHash(name.data(), len);
  if (Probe(name.data(), len, raw)) return false;
  if (names_.size() + len + 1 >= kEmpty) return false;
  if ((size_ + 1) * 2 > slots_.size()) Grow();
  uint32_t hash = Finish(raw);
  size_t mask = slots_.size() - 1;
  size_t i = hash & mask;
  while (slots_[i].offset != kEmpty) i = (i + 1) & mask;
  slots_[i] = Slot{static_cast<uint32_t>(names_.size()), hash};
  names_.push_back(static_cast<char>(len));
  for (char c : name) names_.push_back(Lower(c));
  ++size_;
  return true;
}

bool DomainNameSet::Contains(std::string_view name) const {
  if (name.empty() || name.size() > kMaxName) return false;
  return Probe(name.data(), name.size(), RawHash(name.data(), name.size()));
}

bool DomainNameSet::MatchesNameOrParent(const char* name) const {
  if (name == nullptr || size_ == 0) return false;
  size_t n = strnlen(name, kMaxName);
  if (n == 0) return false;
  if (name[n - 1] == '.') --n;
  // From the end towards the start: at every "." probe the part from it on (".y.z") and the part
  // after it ("y.z"); last, the whole name.
  uint64_t h = kSeed;
  for (size_t i = n; i-- > 0;) {
    uint64_t after = h;  // hash of name[i + 1, n)
    h = Step(h, name[i]);
    if (name[i] != '.') continue;
    if (Probe(name + i, n - i, h)) return true;
    if (i + 1 < n && Probe(name + i + 1, n - i - 1, after)) return true;
  }
  return n > 0 && Probe(name, n, h);
}

void DomainItemReader::EndItem() {
  size_t len = length_;
  if (!overlong_) {
    if (len > 0 && item_[len - 1] == '\r') --len;
    if (len > 0 && len <= DomainNameSet::kMaxName) {
      set_->Add(std::string_view(item_, len));
      ++accepted_;
    }
  }
  length_ = 0;
  overlong_ = false;
}

void DomainItemReader::Feed(const char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    char c = data[i];
    if (c == ',' || c == '\n') {
      EndItem();
    } else if (overlong_) {
      continue;
    } else if (length_ < sizeof(item_)) {
      item_[length_++] = c;
    } else {
      overlong_ = true;
    }
  }
}

void DomainItemReader::Finish() { EndItem(); }

void DomainLineReader::EndLine() {
  size_t len = length_;
  if (!overlong_) {
    if (len > 0 && line_[len - 1] == '\r') --len;
    if (len > 0 && len <= DomainNameSet::kMaxName) set_->Add(std::string_view(line_, len));
  }
  length_ = 0;
  overlong_ = false;
}

void DomainLineReader::Feed(const char* data, size_t size) {
  const char* p = data;
  const char* end = data + size;
  while (p < end) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
    const char* stop = nl ? nl : end;
    size_t n = stop - p;
    if (!overlong_) {
      if (n <= sizeof(line_) - length_) {
        std::memcpy(line_ + length_, p, n);
        length_ += n;
      } else {
        overlong_ = true;
      }
    }
    p = stop;
    if (nl) {
      EndLine();
      ++p;
    }
  }
}

void DomainLineReader::Finish() { EndLine(); }
