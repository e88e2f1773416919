// The UDP engine: one or two UDP sockets of one service address (or of the upstream side), a
// packet thread that receives every datagram and hands it to the owner's callback, and sends:
// replies from the address a request arrived on through the socket of the request, and requests
// to named hosts. It knows sockets and addresses, not DNS.
//
// How it works on this platform. Each engine has exactly one packet thread. It keeps a bounded set
// of receive buffers (IoEvent blocks from the process-wide packet pool): up to kReceiveTarget are
// held, and when fewer than kLowWaterMark remain the set is refilled to the target in one batch.
// The thread receives with recvmmsg into up to kReceiveBatch of those buffers at a time - blocking
// on a single socket, or after poll(2) over the two sockets - reads the arrival address from the
// IP_PKTINFO / IPV6_PKTINFO control message, runs the callback for each datagram in arrival order,
// and holds the delivered buffers again (each engine keeps its own fixed set of buffers). There are no worker threads and no hand-off
// between threads: the worker count given to Start is kept for the owner's information only.
// Each send is copied into one pool block and carries the source address as packet information
// when a specific local address is given. Sends made on the engine's own packet thread (replies
// from its callbacks) are gathered and leave together, in order, with sendmmsg once the callbacks
// of the datagrams received together have run (or when kSendBatch are waiting); sends from any
// other thread leave at once with sendmsg.
//
// Stop wakes the packet thread by shutting down the receive side of its sockets, waits up to
// 5 seconds for it, then closes the sockets and gives the buffers back. A packet thread that does
// not end in time is left running on its own copy of the sockets and buffers (they are released
// when it ends), so a restarted engine never shares a descriptor with it.
//
// Threads: Start and Stop belong to the owner and must not run concurrently with each other or
// with sends. SendTo, SendToHost, ResolveHost and ResolveHostUncached may be called from any
// thread, including from inside a callback. Callbacks of one engine never overlap; callbacks of
// two engines run on two different threads.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "net/packet_pool.h"
#include "shell/address.h"
#include "shell/locks.h"
#include "shell/platform.h"

// Called on the engine's packet thread for every received datagram: the callback context given
// at construction, the socket the datagram came in on, its sender (an IPv4 or IPv6 socket address),
// the address it arrived at (zero bytes of the sender's family when the system did not say), its
// length and its bytes. The data buffer holds kMaxDatagram bytes and may be written by the callback
// (a reply can be built in place and passed to SendTo). Nothing may be kept after it returns.
using PacketHandler = void (*)(void* context, int socket, const sockaddr* remote,
                               const AddressRecord* local, uint16_t length, uint8_t* data);

class UdpEngine {
 public:
  static constexpr int32_t kReceiveTarget = 2500;
  static constexpr int32_t kLowWaterMark = 1250;
  static constexpr int kReceiveBatch = 64;
  static constexpr int kSendBatch = 64;
  static constexpr int kGraceSeconds = 5;

  explicit UdpEngine(void* callbackContext = nullptr);
  virtual ~UdpEngine();
  UdpEngine(const UdpEngine&) = delete;
  UdpEngine& operator=(const UdpEngine&) = delete;

  // Takes effect at the next Start. Null restores the no-op.
  void SetHandler(PacketHandler handler);

  // mainAddress / secondAddress: null or the none address for "not given". family: AF_INET or
  // AF_INET6, used for the wildcard and for resolving host names. Port 0 lets the system choose
  // (each socket its own). workerCount 0 means 2. On false the reason has been logged and the
  // engine is stopped again with everything released.
  bool Start(const AddressRecord* mainAddress, int family, uint16_t port,
             const AddressRecord* secondAddress, uint16_t secondPort, uint32_t workerCount);
  // Idempotent; prints nothing unless the packet thread overstays its grace period.
  void Stop();

  // Sends one datagram to remote. socket < 0 lets ChooseSocket pick; a local address that is given
  // and not a wildcard becomes the source address. False for a length above kMaxDatagram (nothing
  // printed) or when the send fails (printed). On the engine's own packet thread the datagram is
  // queued and true means queued; a failure is printed when the queue is sent.
  bool SendTo(int socket, const sockaddr* remote, const AddressRecord* local, uint32_t length,
              const void* data);
  // Resolves host (through the host cache) in the engine's family and sends to it on port.
  bool SendToHost(uint32_t length, const char* host, uint16_t port, const void* data);

  // Address literal, "localhost" (loopback of the family), else the host cache, else the system
  // resolver, whose answer is then cached for good.
  bool ResolveHost(const char* host, int family, AddressRecord* out);
  // The same in the engine's family without the cache.
  bool ResolveHostUncached(AddressRecord* out, const char* host);

  // The socket for a send to destination that names none: with two sockets, the one whose family
  // matches; when both match, alternately.
  int ChooseSocket(const sockaddr* destination);

  bool Running() const { return run_ != nullptr; }
  int MainSocket() const { return mainSocket_; }
  int SecondSocket() const { return secondSocket_; }
  // The bound addresses (with the port the system gave when 0 was asked for). The second address
  // is the none address when there is no second socket.
  const sockaddr* MainAddress() const { return &mainAddress_.sa; }
  const sockaddr* SecondAddress() const { return &secondAddress_.sa; }
  int Family() const { return family_; }
  uint32_t WorkerCount() const { return workerCount_; }
  // Receive buffers the packet thread holds; 0 when stopped.
  int32_t OutstandingReceives() const;
  // How many times the system resolver was asked (diagnostics).
  uint32_t ResolverLookups() const { return lookups_.load(std::memory_order_relaxed); }

  struct Run;  // one started engine's sockets, buffers and send queue (internal)

 private:
  bool Send(IoEvent* event);
  static void PacketLoop(Run& run);

  std::atomic<int32_t> sendCounter_{0};
  CriticalLock lock_;  // over hostCache_
  uint16_t family_ = AF_INET;
  uint32_t workerCount_ = 0;
  int mainSocket_ = -1;
  int secondSocket_ = -1;
  SocketAddress mainAddress_;
  SocketAddress secondAddress_;
  void* context_;
  PacketHandler handler_;
  std::unordered_map<std::string, AddressRecord> hostCache_;
  std::atomic<uint32_t> lookups_{0};
  std::shared_ptr<Run> run_;
  ManagedThread thread_;
};
