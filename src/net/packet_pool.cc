#include "net/packet_pool.h"

#include <boost/pool/pool.hpp>
#include <boost/thread/mutex.hpp>

namespace {

struct EventPool {
  boost::mutex mutex;
  // First growth 32 blocks, then doubling, no maximum.
  boost::pool<boost::default_user_allocator_malloc_free> blocks{sizeof(IoEvent), 32, 0};
};

// Never destroyed: an engine thread that outlived its grace period may still return blocks while
// the process exits.
EventPool& Pool() {
  static EventPool* pool = new EventPool;
  return *pool;
}

}  // namespace

IoEvent* TakeIoEvent() {
  EventPool& p = Pool();
  boost::mutex::scoped_lock guard(p.mutex);
  return static_cast<IoEvent*>(p.blocks.malloc());
}

void ReturnIoEvent(IoEvent* event) {
  if (event == nullptr) return;
  EventPool& p = Pool();
  boost::mutex::scoped_lock guard(p.mutex);
  p.blocks.free(event);
}

size_t TakeIoEvents(IoEvent** out, size_t count) {
  EventPool& p = Pool();
  boost::mutex::scoped_lock guard(p.mutex);
  size_t taken = 0;
  while (taken < count) {
    void* block = p.blocks.malloc();
    if (block == nullptr) break;
    out[taken++] = static_cast<IoEvent*>(block);
  }
  return taken;
}

void ReturnIoEvents(IoEvent* const* events, size_t count) {
  if (count == 0) return;
  EventPool& p = Pool();
  boost::mutex::scoped_lock guard(p.mutex);
  for (size_t i = 0; i < count; ++i)
    if (events[i]) p.blocks.free(events[i]);
}

void ReleasePacketPools() {
  EventPool& p = Pool();
  boost::mutex::scoped_lock guard(p.mutex);
  p.blocks.purge_memory();
}
