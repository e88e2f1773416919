// The per-thread context that the server hands to every operation that may touch the database.
// Every thread that uses one calls Begin with its name before its work and End with the same name
// after it, then deletes it. The database-backed server derives a context that holds a connection.
// A context belongs to one thread.
#pragma once

#include <cstdint>

class ThreadContext {
 public:
  explicit ThreadContext(int32_t tag = 0) : tag_(tag) {}
  virtual ~ThreadContext() = default;
  virtual bool Begin(const char* name);
  virtual void End(const char* name);
  int32_t Tag() const { return tag_; }

 private:
  int32_t tag_;
};
