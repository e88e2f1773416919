// Packet buffers of the UDP engines: the IoEvent block (one datagram with its addresses) and the
// process-wide pool those blocks come from. The pool is shared by every engine, grows by 32 blocks
// first and then by doubling, never gives memory back while the process runs, and is released as
// a whole by ReleasePacketPools at exit, after every engine has stopped. It does not know sockets.
// There is no second pool of hand-off records: an engine's packet thread receives its datagrams
// itself, so no datagram changes threads before its callback.
// All functions are safe from any thread: the pool is guarded by one mutex, and the batch calls
// take it once for many blocks.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "shell/address.h"

// The longest datagram the server receives, builds or sends.
constexpr uint32_t kMaxDatagram = 8192;
// Room for the packet information of a message-style receive or send.
constexpr size_t kControlSize = 1024;

// A socket address of either family, 28 bytes: what a datagram's sender or destination is kept in.
union SocketAddress {
  sockaddr sa;
  sockaddr_in in4;
  sockaddr_in6 in6;
};

enum : uint8_t { kOpReceive = 0, kOpSend = 1 };

// One datagram and what belongs to it. The control buffer comes before the data so that a small
// datagram, its addresses and its packet information share the block's first memory page.
struct IoEvent {
  int socket;                // the socket of the operation
  SocketAddress remote;      // sender of a received datagram, destination of a sent one
  int32_t remoteLength;      // 16 for IPv4, 28 for IPv6
  AddressRecord local;       // arrival address of a received datagram, or wanted source address
  uint8_t operation;         // kOpReceive or kOpSend
  uint16_t length;           // datagram length
  alignas(16) uint8_t control[kControlSize];
  uint8_t data[kMaxDatagram];
};

// One block, or null when memory is exhausted.
IoEvent* TakeIoEvent();
void ReturnIoEvent(IoEvent* event);
// Up to count blocks under one acquisition of the pool lock; returns how many were taken.
size_t TakeIoEvents(IoEvent** out, size_t count);
void ReturnIoEvents(IoEvent* const* events, size_t count);
// Gives every block of the pool back to the system. Only at exit, when no engine holds a block.
void ReleasePacketPools();
