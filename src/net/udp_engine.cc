#include "net/udp_engine.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "shell/exceptions.h"
#include "shell/log.h"

namespace {

constexpr const char* kThreadName = "UDP::PacketThread";

void IgnorePacket(void*, int, const sockaddr*, const AddressRecord*, uint16_t, uint8_t*) {}

void SetNoneSockaddr(SocketAddress* address) {
  std::memset(address, 0, sizeof(*address));
  address->in4.sin_family = AF_INET;
  address->in4.sin_addr.s_addr = INADDR_NONE;
}

void ToSockaddr(const AddressRecord& record, uint16_t port, SocketAddress* out) {
  sockaddr_storage storage;
  int length = RecordToSockaddr(record, port, &storage);
  std::memset(out, 0, sizeof(*out));
  if (length > 0) std::memcpy(out, &storage, static_cast<size_t>(length));
}

// The arrival address from the packet information of a received message; zero bytes of the
// sender's family when there is none.
void ReadArrivalAddress(msghdr* message, int senderFamily, AddressRecord* local) {
  std::memset(local, 0, sizeof(*local));
  local->family = static_cast<uint16_t>(senderFamily);
  for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO &&
        c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
      in_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof(info));
      // The local address the datagram was accepted on: the header's destination for unicast,
      // the receiving interface's address for a broadcast (which cannot be a reply's source).
      std::memcpy(local->addr, &info.ipi_spec_dst, 4);
      local->family = AF_INET;
      return;
    }
    if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
        c->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
      in6_pktinfo info;
      std::memcpy(&info, CMSG_DATA(c), sizeof(info));
      std::memcpy(local->addr, &info.ipi6_addr, 16);
      local->family = AF_INET6;
      return;
    }
  }
}

// Fills message and vector for sending event: destination, data, and the source address as packet
// information when the event names a specific local address.
void BuildSendMessage(IoEvent* event, msghdr* message, iovec* vector) {
  std::memset(message, 0, sizeof(*message));
  message->msg_name = &event->remote;
  message->msg_namelen = static_cast<socklen_t>(event->remoteLength);
  vector->iov_base = event->data;
  vector->iov_len = event->length;
  message->msg_iov = vector;
  message->msg_iovlen = 1;

  const AddressRecord& local = event->local;
  if (IsNoneAddress(local) || IsAnyAddress(local)) return;
  cmsghdr* c = reinterpret_cast<cmsghdr*>(event->control);
  if (local.family == AF_INET) {
    in_pktinfo info;
    std::memset(&info, 0, sizeof(info));
    std::memcpy(&info.ipi_spec_dst, local.addr, 4);
    message->msg_control = event->control;
    message->msg_controllen = CMSG_SPACE(sizeof(info));
    std::memset(event->control, 0, message->msg_controllen);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(info));
    std::memcpy(CMSG_DATA(c), &info, sizeof(info));
  } else if (local.family == AF_INET6) {
    in6_pktinfo info;
    std::memset(&info, 0, sizeof(info));
    std::memcpy(&info.ipi6_addr, local.addr, 16);
    message->msg_control = event->control;
    message->msg_controllen = CMSG_SPACE(sizeof(info));
    std::memset(event->control, 0, message->msg_controllen);
    c->cmsg_level = IPPROTO_IPV6;
    c->cmsg_type = IPV6_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(info));
    std::memcpy(CMSG_DATA(c), &info, sizeof(info));
  }
}

void ReportSendFailure(int error) { LogError("WSASendTo failed. WSAGetLastError returned [%i]", error); }

}  // namespace

// What one started engine owns: its sockets, the handler it runs and the receive buffers it holds.
// Shared by the engine and its packet thread, so that a thread that overstays Stop keeps them.
struct UdpEngine::Run {
  int sockets[2] = {-1, -1};
  int socketCount = 0;
  PacketHandler handler = IgnorePacket;
  void* context = nullptr;
  std::atomic<bool> stopping{false};
  std::atomic<int32_t> outstanding{0};
  // Receive buffers held, used as a stack: the most recently taken (warmest) on top.
  IoEvent* posted[kReceiveTarget];
  int32_t postedCount = 0;
  // Sends made by the callbacks on this thread, sent together after the batch that caused them.
  const UdpEngine* owner = nullptr;
  IoEvent* pending[kSendBatch];
  mmsghdr pendingMessages[kSendBatch];
  iovec pendingVectors[kSendBatch];
  int pendingCount = 0;

  ~Run() {
    ReturnIoEvents(pending, static_cast<size_t>(pendingCount));
    ReturnIoEvents(posted, static_cast<size_t>(postedCount));
    for (int fd : sockets)
      if (fd >= 0) close(fd);
  }

  // Tops the held buffers up to the target in one batch.
  void Refill() {
    size_t want = static_cast<size_t>(kReceiveTarget - postedCount);
    size_t taken = TakeIoEvents(posted + postedCount, want);
    std::reverse(posted + postedCount, posted + postedCount + taken);
    postedCount += static_cast<int32_t>(taken);
    outstanding.store(postedCount, std::memory_order_relaxed);
  }

  void Deliver(IoEvent* event) {
    try {
      handler(context, event->socket, &event->remote.sa, &event->local, event->length, event->data);
    } catch (const VCSE& e) {
      ReportVcse(kThreadName, e);
    } catch (const std::exception& e) {
      ReportStdException(kThreadName, e);
    } catch (...) {
      ReportUnknownException(kThreadName);
    }
  }

  // One recvmmsg on the socket, then the callbacks of what it brought. False when the socket is
  // gone and the thread must end. Sets lastReceived to the number of datagrams it took.
  bool ReceiveBatch(int fd, int flags);
  int lastReceived = 0;

  void Queue(IoEvent* event) {
    BuildSendMessage(event, &pendingMessages[pendingCount].msg_hdr, &pendingVectors[pendingCount]);
    pending[pendingCount++] = event;
    if (pendingCount == kSendBatch) Flush();
  }

  // Sends what the callbacks queued, in order, one sendmmsg per run of the same socket. A datagram
  // that cannot be sent is reported and skipped; the others still go.
  void Flush() {
    int i = 0;
    while (i < pendingCount) {
      const int fd = pending[i]->socket;
      int end = i + 1;
      while (end < pendingCount && pending[end]->socket == fd) ++end;
      int sent = sendmmsg(fd, pendingMessages + i, static_cast<unsigned>(end - i), MSG_NOSIGNAL);
      if (sent > 0) {
        i += sent;
      } else if (sent < 0 && errno == EINTR) {
        continue;
      } else {
        ReportSendFailure(sent < 0 ? errno : EIO);
        ++i;
      }
    }
    ReturnIoEvents(pending, static_cast<size_t>(pendingCount));
    pendingCount = 0;
  }
};

namespace {
// The run whose packet thread this is (null on other threads).
thread_local UdpEngine::Run* currentRun = nullptr;
}  // namespace

bool UdpEngine::Run::ReceiveBatch(int fd, int flags) {
  if (postedCount == 0) {
    Refill();
    if (postedCount == 0) {  // memory exhausted: try again shortly
      usleep(1000);
      return true;
    }
  }
  mmsghdr messages[kReceiveBatch];
  iovec vectors[kReceiveBatch];
  IoEvent* batch[kReceiveBatch];
  const int count = std::min<int>(kReceiveBatch, postedCount);
  for (int i = 0; i < count; ++i) {
    IoEvent* event = posted[postedCount - 1 - i];
    batch[i] = event;
    vectors[i].iov_base = event->data;
    vectors[i].iov_len = kMaxDatagram;
    msghdr& h = messages[i].msg_hdr;
    h.msg_name = &event->remote;
    h.msg_namelen = sizeof(event->remote);
    h.msg_iov = &vectors[i];
    h.msg_iovlen = 1;
    h.msg_control = event->control;
    h.msg_controllen = kControlSize;
    h.msg_flags = 0;
    messages[i].msg_len = 0;
  }
  postedCount -= count;

  int received = recvmmsg(fd, messages, static_cast<unsigned>(count), flags, nullptr);
  const int error = errno;
  const int used = received > 0 ? received : 0;
  lastReceived = used;
  // Buffers the call did not fill stay held, in their old order.
  for (int i = count - 1; i >= used; --i) posted[postedCount++] = batch[i];
  if (received < 0) {
    switch (error) {
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
      case EINTR:
      case ECONNREFUSED:  // an ICMP port-unreachable report: not news, the buffer stays posted
        return true;
      case EBADF:
      case ENOTSOCK:
        return false;
      default:
        LogError("WSARecvFrom failed. WSAGetLastError returned [%i]", error);
        usleep(1000);  // a lasting fault must not turn into a busy loop
        return true;
    }
  }
  for (int i = 0; i < used; ++i) {
    IoEvent* event = batch[i];
    msghdr& h = messages[i].msg_hdr;
    if (h.msg_namelen == 0) continue;  // the wake-up of Stop, not a datagram
    if (h.msg_flags & MSG_TRUNC) {
      LogError("GetQueuedCompletionStatus failed. GetLastError returned [%i]", EMSGSIZE);
      continue;
    }
    event->socket = fd;
    event->remoteLength = static_cast<int32_t>(h.msg_namelen);
    event->operation = kOpReceive;
    event->length = static_cast<uint16_t>(messages[i].msg_len);
    ReadArrivalAddress(&h, event->remote.sa.sa_family, &event->local);
    Deliver(event);
  }
  Flush();
  // The delivered buffers are held again, warmest on top, rather than given back to the shared
  // pool: an engine keeps one fixed set of receive buffers, so its memory does not creep over the
  // pool's blocks as they pass between the engines and the sends.
  for (int i = used - 1; i >= 0; --i) posted[postedCount++] = batch[i];
  if (postedCount < kLowWaterMark) Refill();
  outstanding.store(postedCount, std::memory_order_relaxed);
  return true;
}

namespace {
// After a receive that brought only a few datagrams, the packet thread pauses briefly before it
// receives again, so that under load the next receive takes a batch instead of waking the thread
// for every datagram or two. Replies have already left when it pauses; a datagram that arrives
// meanwhile waits at most the pause. On loopback under dnsperf this cut the CPU time per datagram
// by about a quarter and raised the rate the client reached.
constexpr int kFewDatagrams = 8;
constexpr long kPauseNanoseconds = 30000;

void PauseAfterFew(int received) {
  if (received <= 0 || received >= kFewDatagrams) return;
  timespec pause{0, kPauseNanoseconds};
  nanosleep(&pause, nullptr);
}
}  // namespace

void UdpEngine::PacketLoop(Run& run) {
  struct Current {
    explicit Current(Run* run) { currentRun = run; }
    ~Current() { currentRun = nullptr; }
  } current(&run);
  run.Refill();
  if (run.socketCount == 1) {
    // One socket: block in the receive itself (Stop's shutdown wakes it).
    while (!run.stopping.load(std::memory_order_relaxed)) {
      if (!run.ReceiveBatch(run.sockets[0], MSG_WAITFORONE)) break;
      PauseAfterFew(run.lastReceived);
    }
    return;
  }
  pollfd fds[2];
  for (int i = 0; i < 2; ++i) fds[i] = pollfd{run.sockets[i], POLLIN, 0};
  while (!run.stopping.load(std::memory_order_relaxed)) {
    int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      LogError("WSARecvFrom failed. WSAGetLastError returned [%i]", errno);
      usleep(1000);
      continue;
    }
    if (run.stopping.load(std::memory_order_relaxed)) break;
    int received = 0;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].revents & POLLNVAL) return;
      if (!run.ReceiveBatch(run.sockets[i], MSG_DONTWAIT)) return;
      received += run.lastReceived;
    }
    PauseAfterFew(received);
  }
}

UdpEngine::UdpEngine(void* callbackContext) : context_(callbackContext), handler_(IgnorePacket) {
  SetNoneSockaddr(&mainAddress_);
  SetNoneSockaddr(&secondAddress_);
}

UdpEngine::~UdpEngine() { Stop(); }

void UdpEngine::SetHandler(PacketHandler handler) { handler_ = handler ? handler : IgnorePacket; }

int32_t UdpEngine::OutstandingReceives() const {
  return run_ ? run_->outstanding.load(std::memory_order_relaxed) : 0;
}

bool UdpEngine::Start(const AddressRecord* mainAddress, int family, uint16_t port,
                      const AddressRecord* secondAddress, uint16_t secondPort, uint32_t workerCount) {
  Stop();
  workerCount_ = workerCount == 0 ? 2 : workerCount;
  family_ = family == AF_INET6 ? AF_INET6 : AF_INET;

  AddressRecord main;
  if (mainAddress && !IsNoneAddress(*mainAddress) &&
      (mainAddress->family == AF_INET || mainAddress->family == AF_INET6))
    main = *mainAddress;
  else
    SetAnyAddress(&main, family_);
  ToSockaddr(main, port, &mainAddress_);

  SetNoneSockaddr(&secondAddress_);
  AddressRecord second;
  bool haveSecond = false;
  if (IsAnyAddress(main)) {
    if (main.family == AF_INET6) {
      SetAnyAddress(&second, AF_INET);
      haveSecond = true;
    } else if (family_ == AF_INET6) {
      SetAnyAddress(&second, AF_INET6);
      haveSecond = true;
    }
    if (haveSecond) ToSockaddr(second, port, &secondAddress_);
  } else if (secondAddress && !IsNoneAddress(*secondAddress) &&
             (secondAddress->family == AF_INET || secondAddress->family == AF_INET6)) {
    haveSecond = true;
    ToSockaddr(*secondAddress, secondPort, &secondAddress_);
  }

  auto run = std::make_shared<Run>();
  run->handler = handler_;
  run->context = context_;
  run->owner = this;
  run->socketCount = haveSecond ? 2 : 1;
  run_ = run;  // from here on a failure is undone by Stop
  SocketAddress* addresses[2] = {&mainAddress_, &secondAddress_};
  auto fail = [this]() {
    Stop();
    return false;
  };

  for (int i = 0; i < run->socketCount; ++i) {
    run->sockets[i] = socket(addresses[i]->sa.sa_family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (run->sockets[i] < 0) {
      LogError("Could not create the main socket. WSAGetLastError returned [%i]", errno);
      return fail();
    }
  }
  mainSocket_ = run->sockets[0];
  secondSocket_ = run->sockets[1];

  const int on = 1;
  for (int i = 0; i < run->socketCount; ++i) {
    if (setsockopt(run->sockets[i], SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0) {
      LogError("Unable to allow LAN based broadcasts. WSAGetLastError returned [%i]", errno);
      return fail();
    }
  }
  for (int i = 0; i < run->socketCount; ++i) {
    int r = addresses[i]->sa.sa_family == AF_INET6
                ? setsockopt(run->sockets[i], IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof(on))
                : setsockopt(run->sockets[i], IPPROTO_IP, IP_PKTINFO, &on, sizeof(on));
    if (r != 0) {
      LogError("Unable to return of packet information by the WSARecvMsg function on an IPv4 socket. "
               "WSAGetLastError returned [%i]", errno);
      return fail();
    }
  }
  for (int i = 0; i < run->socketCount; ++i) {
    const int fd = run->sockets[i];
    // The IPv6 wildcard leaves IPv4 to the IPv4 socket on the same port.
    if (addresses[i]->sa.sa_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    // Room in the system for about as many datagrams as buffers are held (capped by the system).
    int room = kReceiveTarget * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    socklen_t length = static_cast<socklen_t>(AddressLength(&addresses[i]->sa));
    if (bind(fd, &addresses[i]->sa, length) != 0) {
      LogError("Could not bind the main socket. WSAGetLastError returned [%i]", errno);
      return fail();
    }
    socklen_t bound = sizeof(SocketAddress);
    SocketAddress actual;
    if (getsockname(fd, &actual.sa, &bound) == 0 && actual.sa.sa_family == addresses[i]->sa.sa_family)
      *addresses[i] = actual;
  }

  int error = 0;
  bool started = thread_.Start(
      [run]() {
        InstallExceptionTranslator();
        RunReported(kThreadName, [&run]() { PacketLoop(*run); });
      },
      &error);
  if (!started) {
    LogError("Could not create the event processing thread. GetLastError returned [%i]", error);
    return fail();
  }
  return true;
}

void UdpEngine::Stop() {
  if (run_) {
    run_->stopping.store(true);
    // Wakes a receive or poll that is waiting; datagrams still queued stay readable.
    for (int fd : run_->sockets)
      if (fd >= 0) shutdown(fd, SHUT_RD);
    if (thread_.Running() && !thread_.Join(kGraceSeconds * 1000))
      LogError("The packet processing thread did not properly terminate in %i seconds.", kGraceSeconds);
    run_.reset();  // closes the sockets and returns the buffers, or leaves that to a late thread
  }
  mainSocket_ = -1;
  secondSocket_ = -1;
}

int UdpEngine::ChooseSocket(const sockaddr* destination) {
  if (secondSocket_ < 0) return mainSocket_;
  const int family = destination ? destination->sa_family : AF_UNSPEC;
  if (family != mainAddress_.sa.sa_family) return secondSocket_;
  if (family != secondAddress_.sa.sa_family) return mainSocket_;
  uint32_t n = static_cast<uint32_t>(sendCounter_.fetch_add(1)) + 1u;
  return (n & 1u) ? secondSocket_ : mainSocket_;
}

bool UdpEngine::Send(IoEvent* event) {
  msghdr message;
  iovec vector;
  BuildSendMessage(event, &message, &vector);
  for (;;) {
    if (sendmsg(event->socket, &message, MSG_NOSIGNAL) >= 0) return true;
    if (errno != EINTR) break;
  }
  ReportSendFailure(errno);
  return false;
}

bool UdpEngine::SendTo(int socket, const sockaddr* remote, const AddressRecord* local, uint32_t length,
                       const void* data) {
  if (length > kMaxDatagram) return false;
  IoEvent* event = TakeIoEvent();
  if (event == nullptr) {
    LogError("WSASendTo failed. WSAGetLastError returned [%i]", ENOBUFS);
    return false;
  }
  const int remoteLength = AddressLength(remote);
  std::memset(&event->remote, 0, sizeof(event->remote));
  if (remoteLength > 0) std::memcpy(&event->remote, remote, static_cast<size_t>(remoteLength));
  event->remoteLength = remoteLength;
  event->socket = socket >= 0 ? socket : ChooseSocket(remote);
  if (local)
    event->local = *local;
  else
    SetNoneAddress(&event->local);
  event->operation = kOpSend;
  event->length = static_cast<uint16_t>(length);
  if (length > 0) std::memcpy(event->data, data, length);
  if (currentRun != nullptr && currentRun->owner == this) {
    currentRun->Queue(event);  // a reply from one of this engine's callbacks
    return true;
  }
  bool sent = Send(event);
  ReturnIoEvent(event);
  return sent;
}

bool UdpEngine::SendToHost(uint32_t length, const char* host, uint16_t port, const void* data) {
  if (length > kMaxDatagram) return false;
  AddressRecord address;
  if (!ResolveHost(host, family_, &address)) return false;
  SocketAddress remote;
  ToSockaddr(address, port, &remote);
  return SendTo(-1, &remote.sa, nullptr, length, data);
}

bool UdpEngine::ResolveHost(const char* host, int family, AddressRecord* out) {
  if (host == nullptr || out == nullptr) return false;
  if (TextToAddress(host, out)) return true;
  if (strcasecmp(host, "localhost") == 0) return SetLoopback(out, family);
  {
    CriticalLockGuard guard(lock_, 8201);
    auto found = hostCache_.find(host);
    if (found != hostCache_.end()) {
      *out = found->second;
      return true;
    }
  }
  lookups_.fetch_add(1, std::memory_order_relaxed);
  AddressRecord resolved;
  if (!ResolveHostAddress(host, &resolved, family)) {
    SetNoneAddress(out);
    return false;
  }
  {
    CriticalLockGuard guard(lock_, 8202);
    hostCache_.emplace(host, resolved);
  }
  *out = resolved;
  return true;
}

bool UdpEngine::ResolveHostUncached(AddressRecord* out, const char* host) {
  if (host == nullptr || out == nullptr) return false;
  if (TextToAddress(host, out)) return true;
  if (strcasecmp(host, "localhost") == 0) return SetLoopback(out, family_);
  lookups_.fetch_add(1, std::memory_order_relaxed);
  if (ResolveHostAddress(host, out, family_)) return true;
  SetNoneAddress(out);
  return false;
}
