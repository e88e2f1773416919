// The entries of a domain list: a hash set of lower-case names of 1 to 255 characters, with the
// list lookup (the name, then every parent with and without its leading dot) costing at most two
// probes per label and no allocation. Names are kept in one block of text in the order they were
// added, so a million names cost two allocations, not a million. Also the reader that cuts list
// documents (settings text, URL bodies) into items, fed in pieces so items may span pieces.
// Neither class locks: a set is built by one thread, then only read (the lists swap whole sets
// under their lock), and concurrent reads of a set are safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class DomainNameSet {
 public:
  static constexpr size_t kMaxName = 255;

  DomainNameSet();

  // Adds the name lower-cased (ASCII). False for an empty name, one longer than 255 characters,
  // a name already present, or when the set is full (4 GiB of names).
  bool Add(std::string_view name);
  // True when the name, compared without regard to case, is an entry.
  bool Contains(std::string_view name) const;
  // The list lookup: the name cut to 255 characters, without one trailing ".", matches when it, or
  // any part of it from a "." on, or any part after a ".", is an entry. For w.x.y.z the probes
  // are w.x.y.z, .x.y.z, x.y.z, .y.z, y.z, .z and z. Null or empty names match nothing.
  bool MatchesNameOrParent(const char* name) const;

  size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  void Clear();

  // Calls f(std::string_view) for every entry in the order they were added.
  template <class F>
  void ForEach(F f) const {
    size_t at = 0;
    while (at < names_.size()) {
      size_t len = static_cast<uint8_t>(names_[at]);
      f(std::string_view(names_.data() + at + 1, len));
      at += len + 1;
    }
  }

 private:
  struct Slot {
    uint32_t offset;  // of the length byte in names_; kEmpty for a free slot
    uint32_t hash;
  };
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;

  bool Probe(const char* name, size_t len, uint64_t rawHash) const;
  void Grow();

  std::vector<char> names_;  // length byte, then the lower-case name, for every entry
  std::vector<Slot> slots_;  // open addressing, linear probing, at most half full
  size_t size_ = 0;
};

// Cuts a list file into lines: one name a line, one "\r" before the line end dropped, empty lines
// skipped, and a line longer than a name can be skipped whole (never cut into names nobody
// listed). Commas are part of a name here. Fed in blocks; only the unfinished line is carried.
class DomainLineReader {
 public:
  explicit DomainLineReader(DomainNameSet* set) : set_(set) {}
  void Feed(const char* data, size_t size);
  // End of the file: a last line without a line feed counts.
  void Finish();

 private:
  void EndLine();

  DomainNameSet* set_;
  char line_[DomainNameSet::kMaxName + 1];  // room for a name and its "\r"
  size_t length_ = 0;
  bool overlong_ = false;
};

// Cuts a document into items at every "," and "\n"; one "\r" at the end of an item is dropped;
// items of 1 to 255 characters are added to the set, others skipped without a message. Blanks
// are kept. Bounded memory whatever the document: only the unfinished item is carried over.
class DomainItemReader {
 public:
  explicit DomainItemReader(DomainNameSet* set) : set_(set) {}
  void Feed(const char* data, size_t size);
  // End of the document: an unfinished last item counts.
  void Finish();
  // Items accepted (duplicates included).
  size_t Accepted() const { return accepted_; }

 private:
  void EndItem();

  DomainNameSet* set_;
  char item_[DomainNameSet::kMaxName + 1];  // room for a name and its "\r"
  size_t length_ = 0;
  bool overlong_ = false;
  size_t accepted_ = 0;
};
