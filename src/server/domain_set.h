// Domain sets: the names answered with the client's own address (MYIP) and the names whose first
// label encodes a client address (decode-IP). A set maps lower-case names of 1 to 255 characters;
// an entry matches its name and every name below it, an entry with a leading dot only the names
// below it. Also the decode-IP code of the first label. A DomainSet is not locked by itself: the
// server guards each set with its own reader/writer lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

class DomainSet {
 public:
  // Empties the set, then inserts each item of the text split at ',' and '\n' (one trailing '\r'
  // dropped; items of 1 to 255 characters, lower-cased; blanks stay part of an item).
  void Parse(const char* text);
  // The whole name, then each suffix from a '.' with the dot, then the same without it.
  bool Find(const char* name) const;
  size_t Size() const { return names_.size(); }
  void Clear() { names_.clear(); }

 private:
  bool Contains(const char* begin, size_t length) const;
  std::unordered_set<std::string> names_;
};

// Reads the code at the start of the name (8 characters followed by '.' or the end, or 10
// characters) and writes "(a.b.c.d)" into out (32 bytes). False when the name does not start with
// a valid code. The set membership test is the caller's.
bool DecodeIPCode(const char* name, char* out, size_t outSize);
// The 10-character code for an address and mask byte (the inverse of DecodeIPCode), for tools and
// tests. out must hold 11 bytes.
void EncodeIPCode(const uint8_t address[4], uint8_t mask, char* out);
