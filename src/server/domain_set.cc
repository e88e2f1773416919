#include "server/domain_set.h"

#include <cctype>
#include <cstdio>
#include <cstring>

void DomainSet::Parse(const char* text) {
  names_.clear();
  if (text == nullptr) return;
  const char* p = text;
  for (;;) {
    const char* end = p;
    while (*end && *end != ',' && *end != '\n') ++end;
    size_t len = static_cast<size_t>(end - p);
    if (len > 0 && p[len - 1] == '\r') --len;
    if (len >= 1 && len <= 255) {
      std::string item(p, len);
      for (char& c : item) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      names_.insert(std::move(item));
    }
    if (*end == '\0') break;
    p = end + 1;
  }
}

bool DomainSet::Contains(const char* begin, size_t length) const {
  if (length == 0) return false;
  thread_local std::string key;  // keeps its capacity: no allocation per lookup
  key.assign(begin, length);
  for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return names_.count(key) != 0;
}

bool DomainSet::Find(const char* name) const {
  if (name == nullptr || names_.empty()) return false;
  size_t len = strnlen(name, 255);
  if (len > 0 && name[len - 1] == '.') --len;
  if (Contains(name, len)) return true;
  for (size_t i = 0; i < len; ++i) {
    if (name[i] != '.') continue;
    if (Contains(name + i, len - i)) return true;          // ".example.com"
    if (Contains(name + i + 1, len - i - 1)) return true;  // "example.com"
  }
  return false;
}

namespace {

const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
constexpr uint32_t kOffset = 0x5A3C1E0Fu;

// Row p holds 16 distinct alphabet indices: (7e + 5p + 3) mod 36 for e = 0..15 (7 is prime to 36).
int RowEntry(int position, int entry) { return (7 * entry + 5 * position + 3) % 36; }

struct DecodeTable {
  // digit[p][alphabet index] = entry number, or -1 when the index is not in row p.
  int8_t digit[10][36];
  DecodeTable() {
    std::memset(digit, -1, sizeof(digit));
    for (int p = 0; p < 10; ++p)
      for (int e = 0; e < 16; ++e) digit[p][RowEntry(p, e)] = static_cast<int8_t>(e);
  }
};

const DecodeTable& Table() {
  static const DecodeTable table;
  return table;
}

int AlphabetIndex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool DecodeIPCode(const char* name, char* out, size_t outSize) {
  if (name == nullptr || out == nullptr || outSize == 0) return false;
  const DecodeTable& t = Table();
  int digits[10] = {0};
  for (int p = 0; p < 10; ++p) {
    char c = name[p];
    if (p == 8 && (c == '\0' || c == '.')) break;  // 8-character form, mask 0
    int index = AlphabetIndex(c);
    if (index < 0) return false;  // also the end of the name before position 8
    int d = t.digit[p][index];
    if (d < 0) return false;
    digits[p] = d;
  }
  uint8_t bytes[4];
  for (int k = 0; k < 4; ++k) bytes[k] = static_cast<uint8_t>(digits[2 * k] + 16 * digits[2 * k + 1]);
  uint8_t mask = static_cast<uint8_t>(digits[8] + 16 * digits[9]);
  uint32_t value = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                   static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  value ^= 0x01010101u * mask;
  value -= kOffset;
  std::snprintf(out, outSize, "(%hhu.%hhu.%hhu.%hhu)", static_cast<unsigned char>(value),
                static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value >> 16),
                static_cast<unsigned char>(value >> 24));
  return true;
}

void EncodeIPCode(const uint8_t address[4], uint8_t mask, char* out) {
  uint32_t value = static_cast<uint32_t>(address[0]) | static_cast<uint32_t>(address[1]) << 8 |
                   static_cast<uint32_t>(address[2]) << 16 | static_cast<uint32_t>(address[3]) << 24;
  value += kOffset;
  value ^= 0x01010101u * mask;
  for (int k = 0; k < 4; ++k) {
    uint8_t b = static_cast<uint8_t>(value >> (8 * k));
    out[2 * k] = kAlphabet[RowEntry(2 * k, b & 15)];
    out[2 * k + 1] = kAlphabet[RowEntry(2 * k + 1, b >> 4)];
  }
  out[8] = kAlphabet[RowEntry(8, mask & 15)];
  out[9] = kAlphabet[RowEntry(9, mask >> 4)];
  out[10] = '\0';
}
