// Bounds-checked cursors over wire data, used by the DNS codec for every read and write of a
// message. A cursor has a sticky error: once a read or write would pass its limit, the cursor
// stops moving, reads give zero, writes are dropped, and ok() stays false. Callers check ok()
// once after a group of operations instead of doing bounds arithmetic at each step.
// Owns nothing; one cursor belongs to one call on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dnswire {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size, size_t pos = 0)
      : data_(data), size_(size), pos_(pos), ok_(pos <= size) {}

  bool ok() const { return ok_; }
  size_t pos() const { return pos_; }
  size_t size() const { return size_; }
  size_t remaining() const { return ok_ ? size_ - pos_ : 0; }
  bool has(size_t n) const { return ok_ && n <= size_ - pos_; }

  uint8_t u8() {
    if (!has(1)) return Fail();
    return data_[pos_++];
  }
  uint16_t u16() {
    if (!has(2)) return Fail();
    uint16_t v = static_cast<uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  uint32_t u32() {
    if (!has(4)) return Fail();
    uint32_t v = static_cast<uint32_t>(data_[pos_]) << 24 | static_cast<uint32_t>(data_[pos_ + 1]) << 16 |
                 static_cast<uint32_t>(data_[pos_ + 2]) << 8 | data_[pos_ + 3];
    pos_ += 4;
    return v;
  }
  void bytes(void* out, size_t n) {
    if (!has(n)) {
      Fail();
      return;
    }
    std::memcpy(out, data_ + pos_, n);
    pos_ += n;
  }
  // Pointer to the next n bytes (which the cursor then skips), or null.
  const uint8_t* take(size_t n) {
    if (!has(n)) {
      Fail();
      return nullptr;
    }
    const uint8_t* p = data_ + pos_;
    pos_ += n;
    return p;
  }
  void skip(size_t n) { take(n); }
  void seek(size_t pos) {
    if (!ok_ || pos > size_) {
      Fail();
      return;
    }
    pos_ = pos;
  }

 private:
  uint8_t Fail() {
    ok_ = false;
    return 0;
  }
  const uint8_t* data_;
  size_t size_;
  size_t pos_;
  bool ok_;
};

class Writer {
 public:
  Writer(uint8_t* data, size_t capacity, size_t pos = 0)
      : data_(data), cap_(capacity), pos_(pos), ok_(pos <= capacity) {}

  bool ok() const { return ok_; }
  size_t pos() const { return pos_; }
  bool has(size_t n) const { return ok_ && n <= cap_ - pos_; }

  void u8(uint8_t v) {
    if (!has(1)) {
      ok_ = false;
      return;
    }
    data_[pos_++] = v;
  }
  void u16(uint16_t v) {
    if (!has(2)) {
      ok_ = false;
      return;
    }
    data_[pos_] = static_cast<uint8_t>(v >> 8);
    data_[pos_ + 1] = static_cast<uint8_t>(v);
    pos_ += 2;
  }
  void u32(uint32_t v) {
    if (!has(4)) {
      ok_ = false;
      return;
    }
    data_[pos_] = static_cast<uint8_t>(v >> 24);
    data_[pos_ + 1] = static_cast<uint8_t>(v >> 16);
    data_[pos_ + 2] = static_cast<uint8_t>(v >> 8);
    data_[pos_ + 3] = static_cast<uint8_t>(v);
    pos_ += 4;
  }
  void bytes(const void* src, size_t n) {
    if (!has(n)) {
      ok_ = false;
      return;
    }
    std::memcpy(data_ + pos_, src, n);
    pos_ += n;
  }
  // Reserves one byte and returns its index (to be filled by patch8), or cap when it fails.
  size_t reserve8() {
    if (!has(1)) {
      ok_ = false;
      return cap_;
    }
    return pos_++;
  }
  size_t reserve16() {
    if (!has(2)) {
      ok_ = false;
      return cap_;
    }
    size_t at = pos_;
    pos_ += 2;
    return at;
  }
  // Overwrites bytes already written (index below pos()); out-of-range indexes are ignored.
  void patch8(size_t at, uint8_t v) {
    if (at < pos_) data_[at] = v;
  }
  void patch16(size_t at, uint16_t v) {
    if (at + 2 <= pos_) {
      data_[at] = static_cast<uint8_t>(v >> 8);
      data_[at + 1] = static_cast<uint8_t>(v);
    }
  }
  // Moves back to an earlier position (dropping what was written after it) and clears the error.
  void rewind(size_t pos) {
    if (pos <= cap_) {
      pos_ = pos;
      ok_ = true;
    }
  }

 private:
  uint8_t* data_;
  size_t cap_;
  size_t pos_;
  bool ok_;
};

}  // namespace dnswire
