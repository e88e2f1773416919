// The UDP engine on real sockets over loopback: arrival addresses and reply sources, the dual-stack
// wildcard, socket choice for sends, the datagram size limit, host resolution and its cache,
// failed starts, stopping under load, and the order and exclusivity of callbacks.
#include "net/udp_engine.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "shell/log.h"

namespace {

SocketAddress Endpoint(const char* text, uint16_t port) {
  AddressRecord record;
  EXPECT_TRUE(TextToAddress(text, &record)) << text;
  sockaddr_storage storage;
  int length = RecordToSockaddr(record, port, &storage);
  SocketAddress out;
  std::memset(&out, 0, sizeof(out));
  std::memcpy(&out, &storage, static_cast<size_t>(length));
  return out;
}

uint16_t PortOf(const sockaddr* address) {
  if (address->sa_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(address)->sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6*>(address)->sin6_port);
}

std::string Text(const sockaddr* address) {
  char text[kAddressTextSize];
  if (!SockaddrToText(address, text, sizeof(text))) return "?";
  return std::string(text) + ":" + std::to_string(PortOf(address));
}

std::string Text(const AddressRecord& record) {
  char text[kAddressTextSize];
  if (AddressToText(record.family, record.addr, text, sizeof(text), false) != 0) return "?";
  return text;
}

// A bound socket that stays open: holds a port, or acts as a test client.
class Peer {
 public:
  explicit Peer(const char* address = "127.0.0.1", uint16_t port = 0) {
    SocketAddress local = Endpoint(address, port);
    fd_ = socket(local.sa.sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (local.sa.sa_family == AF_INET6) setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    int room = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
    bound_ = bind(fd_, &local.sa, static_cast<socklen_t>(AddressLength(&local.sa))) == 0;
    socklen_t length = sizeof(address_);
    getsockname(fd_, &address_.sa, &length);
  }
  ~Peer() { Close(); }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool Bound() const { return bound_; }
  uint16_t Port() const { return PortOf(&address_.sa); }
  const sockaddr* Address() const { return &address_.sa; }

  void Send(const SocketAddress& to, const std::string& data) {
    ASSERT_EQ(sendto(fd_, data.data(), data.size(), 0, &to.sa, static_cast<socklen_t>(AddressLength(&to.sa))),
              static_cast<ssize_t>(data.size()));
  }
  // One datagram within the time limit, with its source.
  bool Receive(std::string* data, SocketAddress* from = nullptr, int timeoutMs = 3000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return false;
    std::vector<char> buffer(65536);
    SocketAddress source;
    socklen_t length = sizeof(source);
    ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0, &source.sa, &length);
    if (n < 0) return false;
    data->assign(buffer.data(), static_cast<size_t>(n));
    if (from) *from = source;
    return true;
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
  SocketAddress address_{};
};

// A port that is free on 127.0.0.1 and, when asked, on ::1's wildcard too.
uint16_t FreePort(bool bothFamilies) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    Peer v4("0.0.0.0");
    if (!bothFamilies) return v4.Port();
    Peer v6("::", v4.Port());
    if (v6.Bound()) return v4.Port();
  }
  ADD_FAILURE() << "no free port";
  return 0;
}

int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

// What the callback saw of one datagram.
struct Seen {
  int socket;
  SocketAddress remote;
  AddressRecord local;
  std::string data;
  std::thread::id thread;
};

// Callback context: records every datagram and, when echo is on, answers it at once through the
// socket and from the address it arrived on.
struct Recorder {
  UdpEngine* engine = nullptr;
  bool echo = true;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Seen> seen;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};

  size_t Count() {
    std::lock_guard<std::mutex> guard(mutex);
    return seen.size();
  }
  bool WaitFor(size_t count, int timeoutMs = 5000) {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return seen.size() >= count; });
  }
};

void RecordPacket(void* context, int socket, const sockaddr* remote, const AddressRecord* local,
                  uint16_t length, uint8_t* data) {
  auto* r = static_cast<Recorder*>(context);
  if (r->inside.fetch_add(1) != 0) r->overlaps.fetch_add(1);
  std::string payload(reinterpret_cast<char*>(data), length);
  if (payload == "throw") {
    r->inside.fetch_sub(1);
    throw std::runtime_error("callback failed");
  }
  Seen s;
  s.socket = socket;
  std::memset(&s.remote, 0, sizeof(s.remote));
  std::memcpy(&s.remote, remote, static_cast<size_t>(AddressLength(remote)));
  s.local = *local;
  s.data = std::move(payload);
  s.thread = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> guard(r->mutex);
    r->seen.push_back(std::move(s));
  }
  r->changed.notify_all();
  if (r->echo) r->engine->SendTo(socket, remote, local, length, data);
  r->inside.fetch_sub(1);
}

class UdpEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char path[] = "/tmp/udp_engine_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    logPath_ = path;
    StartLogAndWinsock(logPath_.c_str());
    recorder_.engine = &engine_;
    engine_.SetHandler(RecordPacket);
  }
  void TearDown() override {
    engine_.Stop();
    StopLogAndWinsock();
    std::remove(logPath_.c_str());
  }
  std::string Log() {
    std::ifstream in(logPath_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string logPath_;
  Recorder recorder_;
  UdpEngine engine_{&recorder_};
};

TEST_F(UdpEngineTest, RepliesLeaveFromTheArrivalAddressOfAWildcardEngine) {
  const uint16_t port = FreePort(false);
  ASSERT_TRUE(engine_.Start(nullptr, AF_INET, port, nullptr, 0, 2));
  EXPECT_EQ(engine_.SecondSocket(), -1);
  const char* targets[] = {"127.0.0.2", "127.0.0.1", "127.0.0.3"};
  Peer client("127.0.0.1");
  for (const char* target : targets) {
    SCOPED_TRACE(target);
    client.Send(Endpoint(target, port), std::string("to ") + target);
    std::string reply;
    SocketAddress from;
    ASSERT_TRUE(client.Receive(&reply, &from));
    EXPECT_EQ(reply, std::string("to ") + target);
    EXPECT_EQ(Text(&from.sa), std::string(target) + ":" + std::to_string(port));
    std::lock_guard<std::mutex> guard(recorder_.mutex);
    EXPECT_EQ(Text(recorder_.seen.back().local), target);
    EXPECT_EQ(Text(&recorder_.seen.back().remote.sa), "127.0.0.1:" + std::to_string(client.Port()));
  }
  EXPECT_EQ(Log(), "");
}

TEST_F(UdpEngineTest, DualStackWildcardAnswersEachFamilyThroughItsOwnSocket) {
  const uint16_t port = FreePort(true);
  ASSERT_TRUE(engine_.Start(nullptr, AF_INET6, port, nullptr, 0, 0));
  ASSERT_GE(engine_.SecondSocket(), 0);
  EXPECT_EQ(engine_.MainAddress()->sa_family, AF_INET6);
  EXPECT_EQ(engine_.SecondAddress()->sa_family, AF_INET);
  EXPECT_EQ(PortOf(engine_.MainAddress()), port);
  EXPECT_EQ(PortOf(engine_.SecondAddress()), port);

  struct Case {
    const char* client;
    const char* server;
    int socket;
  } cases[] = {
      {"::1", "::1", engine_.MainSocket()},
      {"127.0.0.1", "127.0.0.1", engine_.SecondSocket()},
      {"127.0.0.1", "127.0.0.2", engine_.SecondSocket()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    Peer client(c.client);
    client.Send(Endpoint(c.server, port), c.server);
    std::string reply;
    SocketAddress from;
    ASSERT_TRUE(client.Receive(&reply, &from));
    EXPECT_EQ(reply, c.server);
    SocketAddress expected = Endpoint(c.server, port);
    EXPECT_EQ(Text(&from.sa), Text(&expected.sa));
    std::lock_guard<std::mutex> guard(recorder_.mutex);
    EXPECT_EQ(recorder_.seen.back().socket, c.socket);
    EXPECT_EQ(Text(recorder_.seen.back().local), c.server);
  }
  EXPECT_EQ(Log(), "");
}

// Which socket a send that names none goes out through, seen by the receiver as the source port.
TEST_F(UdpEngineTest, SendsChooseTheSocketOfTheDestinationFamily) {
  Peer v4listener("127.0.0.1");
  Peer v6listener("::1");

  // An upstream-style engine: wildcard, IPv6 asked for, system-chosen ports.
  ASSERT_TRUE(engine_.Start(nullptr, AF_INET6, 0, nullptr, 0, 1));
  const uint16_t v6port = PortOf(engine_.MainAddress());
  const uint16_t v4port = PortOf(engine_.SecondAddress());
  ASSERT_NE(v6port, 0);
  ASSERT_NE(v4port, 0);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(engine_.SendToHost(5, "127.0.0.1", v4listener.Port(), "query"));
    std::string got;
    SocketAddress from;
    ASSERT_TRUE(v4listener.Receive(&got, &from));
    EXPECT_EQ(PortOf(&from.sa), v4port);
    ASSERT_TRUE(engine_.SendToHost(5, "::1", v6listener.Port(), "query"));
    ASSERT_TRUE(v6listener.Receive(&got, &from));
    EXPECT_EQ(PortOf(&from.sa), v6port);
  }
  engine_.Stop();

  // A specific address and no second one: one socket carries every send.
  AddressRecord one;
  TextToAddress("127.0.0.1", &one);
  ASSERT_TRUE(engine_.Start(&one, AF_INET, 0, nullptr, 0, 1));
  EXPECT_EQ(engine_.SecondSocket(), -1);
  SocketAddress v6dest = Endpoint("::1", 53);
  SocketAddress v4dest = Endpoint("127.0.0.1", 53);
  EXPECT_EQ(engine_.ChooseSocket(&v4dest.sa), engine_.MainSocket());
  EXPECT_EQ(engine_.ChooseSocket(&v6dest.sa), engine_.MainSocket());
  engine_.Stop();

  // Two specific addresses of one family: sends alternate between the sockets.
  AddressRecord two;
  TextToAddress("127.0.0.2", &two);
  ASSERT_TRUE(engine_.Start(&one, AF_INET, 0, &two, 0, 1));
  std::vector<std::string> sources;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(engine_.SendTo(-1, v4listener.Address(), nullptr, 1, "x"));
    std::string got;
    SocketAddress from;
    ASSERT_TRUE(v4listener.Receive(&got, &from));
    sources.push_back(Text(&from.sa));
  }
  const std::string main = Text(engine_.MainAddress());
  const std::string second = Text(engine_.SecondAddress());
  EXPECT_NE(main, second);
  EXPECT_EQ(sources, (std::vector<std::string>{second, main, second, main}));
  EXPECT_EQ(Log(), "");
}

TEST_F(UdpEngineTest, DatagramsUpTo8192BytesPassAndLongerOnesAreRefused) {
  const uint16_t port = FreePort(false);
  ASSERT_TRUE(engine_.Start(nullptr, AF_INET, port, nullptr, 0, 2));
  Peer client("127.0.0.1");
  std::string full(8192, '\0');
  for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<char>(i * 7);

  // Received whole and echoed whole.
  client.Send(Endpoint("127.0.0.1", port), full);
  std::string reply;
  ASSERT_TRUE(client.Receive(&reply));
  EXPECT_EQ(reply, full);

  // Sent by the engine: 8192 goes, 8193 is refused without a word.
  std::string longer = full + "!";
  EXPECT_TRUE(engine_.SendTo(-1, client.Address(), nullptr, 8192, full.data()));
  ASSERT_TRUE(client.Receive(&reply));
  EXPECT_EQ(reply, full);
  EXPECT_FALSE(engine_.SendTo(-1, client.Address(), nullptr, 8193, longer.data()));
  EXPECT_FALSE(engine_.SendToHost(8193, "127.0.0.1", client.Port(), longer.data()));
  EXPECT_FALSE(client.Receive(&reply, nullptr, 200));
  EXPECT_EQ(Log(), "");

  // A longer datagram that arrives is reported and not handed on; traffic goes on.
  client.Send(Endpoint("127.0.0.1", port), longer);
  client.Send(Endpoint("127.0.0.1", port), "after");
  ASSERT_TRUE(client.Receive(&reply));
  EXPECT_EQ(reply, "after");
  EXPECT_NE(Log().find("GetQueuedCompletionStatus failed. GetLastError returned [90]"), std::string::npos);
  EXPECT_EQ(recorder_.Count(), 2u);
}

TEST_F(UdpEngineTest, HostsResolveThroughLiteralsLocalhostAndTheCache) {
  struct Case {
    const char* host;
    int family;
    const char* expected;  // null: unresolvable
    uint32_t lookups;      // resolver calls after this case
  } cases[] = {
      {"127.0.0.9", AF_INET, "127.0.0.9", 0},
      {"[::1]", AF_INET, "::1", 0},
      {"fe80::2", AF_INET, "fe80::2", 0},
      {"localhost", AF_INET, "127.0.0.1", 0},
      {"LocalHost", AF_INET6, "::1", 0},
      // Text only the system resolver reads (inet_aton form): looked up once, then cached.
      {"127.1", AF_INET, "127.0.0.1", 1},
      {"127.1", AF_INET, "127.0.0.1", 1},
      {"127.1", AF_INET6, "127.0.0.1", 1},
      {"", AF_INET, nullptr, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    AddressRecord out;
    EXPECT_EQ(engine_.ResolveHost(c.host, c.family, &out), c.expected != nullptr);
    if (c.expected) {
      EXPECT_EQ(Text(out), c.expected);
    }
    EXPECT_EQ(engine_.ResolverLookups(), c.lookups);
  }

  // Without the cache every name is asked again; literals and localhost still need no lookup.
  AddressRecord out;
  ASSERT_TRUE(engine_.ResolveHostUncached(&out, "127.1"));
  ASSERT_TRUE(engine_.ResolveHostUncached(&out, "127.1"));
  EXPECT_EQ(engine_.ResolverLookups(), 4u);
  ASSERT_TRUE(engine_.ResolveHostUncached(&out, "localhost"));
  EXPECT_EQ(Text(out), "127.0.0.1");  // the engine's family (AF_INET by construction)
  EXPECT_EQ(engine_.ResolverLookups(), 4u);

  // SendToHost resolves the same way; an unknown host is refused.
  ASSERT_TRUE(engine_.Start(nullptr, AF_INET, 0, nullptr, 0, 1));
  Peer listener("127.0.0.1");
  for (const char* host : {"localhost", "127.1", "127.0.0.1"}) {
    ASSERT_TRUE(engine_.SendToHost(2, host, listener.Port(), "hi"));
    std::string got;
    ASSERT_TRUE(listener.Receive(&got));
    EXPECT_EQ(got, "hi");
  }
  EXPECT_EQ(engine_.ResolverLookups(), 4u);
  EXPECT_FALSE(engine_.SendToHost(2, "", listener.Port(), "hi"));
  EXPECT_EQ(Log(), "");
}

TEST_F(UdpEngineTest, PortUnreachableIsSilentAndTrafficGoesOn) {
  const uint16_t port = FreePort(false);
  ASSERT_TRUE(engine_.Start(nullptr, AF_INET, port, nullptr, 0, 2));
  uint16_t closedPort;
  {
    Peer gone("127.0.0.1");
    closedPort = gone.Port();
  }
  SocketAddress closed = Endpoint("127.0.0.1", closedPort);
  for (int i = 0; i < 20; ++i) engine_.SendTo(engine_.MainSocket(), &closed.sa, nullptr, 4, "ping");

  Peer client("127.0.0.1");
  for (int i = 0; i < 20; ++i) {
    const std::string payload = "after " + std::to_string(i);
    client.Send(Endpoint("127.0.0.1", port), payload);
    std::string reply;
    ASSERT_TRUE(client.Receive(&reply));
    EXPECT_EQ(reply, payload);
  }
  EXPECT_GE(engine_.OutstandingReceives(), UdpEngine::kLowWaterMark);
  EXPECT_LE(engine_.OutstandingReceives(), UdpEngine::kReceiveTarget);
  EXPECT_EQ(Log(), "");
}

TEST_F(UdpEngineTest, AFailedStartReportsTheBindAndLeavesNothingBehind) {
  const uint16_t port = FreePort(true);
  AddressRecord loopback;
  TextToAddress("127.0.0.1", &loopback);
  struct Case {
    const char* name;
    const AddressRecord* main;
    int family;
  } cases[] = {
      {"specific address", &loopback, AF_INET},
      {"dual wildcard, IPv4 half taken", nullptr, AF_INET6},
  };
  Peer holder("0.0.0.0", port);
  ASSERT_TRUE(holder.Bound());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int fds = CountEntries("/proc/self/fd");
    const int threads = CountEntries("/proc/self/task");
    EXPECT_FALSE(engine_.Start(c.main, c.family, port, nullptr, 0, 2));
    EXPECT_NE(Log().find("Could not bind the main socket. WSAGetLastError returned [98]"), std::string::npos);
    EXPECT_FALSE(engine_.Running());
    EXPECT_EQ(engine_.MainSocket(), -1);
    EXPECT_EQ(engine_.SecondSocket(), -1);
    EXPECT_EQ(engine_.OutstandingReceives(), 0);
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    EXPECT_EQ(CountEntries("/proc/self/task"), threads);
    const std::string before = Log();
    engine_.Stop();
    engine_.Stop();
    EXPECT_EQ(Log(), before);
  }
  // Once the port is free again the same engine starts on it.
  holder.Close();
  ASSERT_TRUE(engine_.Start(&loopback, AF_INET, port, nullptr, 0, 2));
  Peer client("127.0.0.1");
  client.Send(Endpoint("127.0.0.1", port), "again");
  std::string reply;
  ASSERT_TRUE(client.Receive(&reply));
  EXPECT_EQ(reply, "again");
}

// Callback context that holds the packet thread until released.
struct Gate {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  std::atomic<int> calls{0};
  void Release() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      open = true;
    }
    cv.notify_all();
  }
};

void WaitAtGate(void* context, int, const sockaddr*, const AddressRecord*, uint16_t, uint8_t*) {
  auto* gate = static_cast<Gate*>(context);
  gate->calls.fetch_add(1);
  std::unique_lock<std::mutex> guard(gate->mutex);
  gate->cv.wait(guard, [&] { return gate->open; });
}

TEST_F(UdpEngineTest, StopWithDatagramsQueuedReturnsWithinTheGrace) {
  Gate gate;
  UdpEngine engine(&gate);
  engine.SetHandler(WaitAtGate);
  const uint16_t port = FreePort(false);
  ASSERT_TRUE(engine.Start(nullptr, AF_INET, port, nullptr, 0, 2));
  Peer client("127.0.0.1");
  for (int i = 0; i < 2000; ++i) client.Send(Endpoint("127.0.0.1", port), "queued " + std::to_string(i));
  while (gate.calls.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  std::atomic<bool> stopped{false};
  const auto begin = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    engine.Stop();
    stopped = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(stopped.load());  // Stop waits for the callback that is running
  gate.Release();
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(UdpEngine::kGraceSeconds));
  // The rest of the queue is not worked off: at most the batch that was already taken in.
  EXPECT_LE(gate.calls.load(), UdpEngine::kReceiveBatch);
  EXPECT_FALSE(engine.Running());
  EXPECT_EQ(Log(), "");
  Peer rebind("0.0.0.0", port);
  EXPECT_TRUE(rebind.Bound());
}

TEST_F(UdpEngineTest, AThreadThatOverstaysIsReportedAndReleasesItsSocketWhenItEnds) {
  static Gate gate;  // outlives the test, whatever happens: the late thread returns through it
  UdpEngine engine_late(&gate);
  UdpEngine* engine = &engine_late;
  engine->SetHandler(WaitAtGate);
  const uint16_t port = FreePort(false);
  ASSERT_TRUE(engine->Start(nullptr, AF_INET, port, nullptr, 0, 2));
  Peer client("127.0.0.1");
  client.Send(Endpoint("127.0.0.1", port), "stuck");
  while (gate.calls.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  engine->Stop();
  EXPECT_NE(Log().find("The packet processing thread did not properly terminate in 5 seconds."),
            std::string::npos);
  EXPECT_FALSE(engine->Running());
  // The late thread still holds the socket; the engine can start on another port meanwhile.
  Peer blocked("0.0.0.0", port);
  EXPECT_FALSE(blocked.Bound());
  ASSERT_TRUE(engine->Start(nullptr, AF_INET, 0, nullptr, 0, 2));
  engine->Stop();

  gate.Release();
  bool released = false;
  for (int i = 0; i < 300 && !released; ++i) {
    Peer probe("0.0.0.0", port);
    released = probe.Bound();
    if (!released) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(released);
}

TEST_F(UdpEngineTest, CallbacksComeInArrivalOrderOnOneThreadAndNeverOverlap) {
  const uint16_t port = FreePort(true);
  ASSERT_TRUE(engine_.Start(nullptr, AF_INET6, port, nullptr, 0, 2));
  recorder_.echo = false;
  // Two clients, one per socket of the engine, sending numbered datagrams in rounds.
  Peer v4("127.0.0.1");
  Peer v6("::1");
  const int kRounds = 20, kPerRound = 200;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kPerRound; ++i) {
      const int n = round * kPerRound + i;
      v4.Send(Endpoint("127.0.0.1", port), "4/" + std::to_string(n));
      v6.Send(Endpoint("::1", port), "6/" + std::to_string(n));
    }
    ASSERT_TRUE(recorder_.WaitFor(static_cast<size_t>(2 * kPerRound * (round + 1))));
  }
  EXPECT_EQ(recorder_.overlaps.load(), 0);
  std::lock_guard<std::mutex> guard(recorder_.mutex);
  ASSERT_EQ(recorder_.seen.size(), static_cast<size_t>(2 * kRounds * kPerRound));
  int next4 = 0, next6 = 0;
  for (const Seen& s : recorder_.seen) {
    EXPECT_EQ(s.thread, recorder_.seen.front().thread);
    const int n = std::stoi(s.data.substr(2));
    if (s.data[0] == '4') {
      EXPECT_EQ(n, next4++);
      EXPECT_EQ(s.socket, engine_.SecondSocket());
    } else {
      EXPECT_EQ(n, next6++);
      EXPECT_EQ(s.socket, engine_.MainSocket());
    }
  }
  EXPECT_NE(recorder_.seen.front().thread, std::this_thread::get_id());
}

// Callback that answers "<n>" with n numbered replies, and "<n> bad" with a send that cannot go
// (an IPv6 destination through the IPv4 socket of the request) before the n replies.
struct SelfAnswering {
  UdpEngine engine{this};
};

void AnswerMany(void* context, int socket, const sockaddr* remote, const AddressRecord* local,
                uint16_t length, uint8_t* data) {
  UdpEngine* engine = &static_cast<SelfAnswering*>(context)->engine;
  const std::string request(reinterpret_cast<char*>(data), length);
  if (request.find("bad") != std::string::npos) {
    SocketAddress v6 = Endpoint("::1", 9);
    engine->SendTo(socket, &v6.sa, nullptr, 3, "bad");
  }
  const int n = std::stoi(request);
  for (int i = 0; i < n; ++i) {
    const std::string reply = request + "#" + std::to_string(i);
    EXPECT_TRUE(engine->SendTo(socket, remote, local, static_cast<uint32_t>(reply.size()), reply.data()));
  }
}

// Replies made inside callbacks leave together after the batch: all of them, in order, from the
// arrival address, also past a full send queue and around a send that fails.
TEST_F(UdpEngineTest, RepliesFromCallbacksAllLeaveInOrder) {
  SelfAnswering answering;
  UdpEngine& engine = answering.engine;
  engine.SetHandler(AnswerMany);
  const uint16_t port = FreePort(false);
  ASSERT_TRUE(engine.Start(nullptr, AF_INET, port, nullptr, 0, 2));
  Peer client("127.0.0.1");
  const std::vector<std::string> requests = {"1", "3", "150", "2 bad", "1"};
  for (const std::string& r : requests) client.Send(Endpoint("127.0.0.2", port), r);
  for (const std::string& r : requests) {
    SCOPED_TRACE(r);
    for (int i = 0; i < std::stoi(r); ++i) {
      std::string reply;
      SocketAddress from;
      ASSERT_TRUE(client.Receive(&reply, &from));
      EXPECT_EQ(reply, r + "#" + std::to_string(i));
      EXPECT_EQ(Text(&from.sa), "127.0.0.2:" + std::to_string(port));
    }
  }
  std::string extra;
  EXPECT_FALSE(client.Receive(&extra, nullptr, 100));
  engine.Stop();
  const std::string log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("WSASendTo failed. WSAGetLastError returned [" + std::to_string(EAFNOSUPPORT) + "]"),
            std::string::npos);
}

TEST_F(UdpEngineTest, AnExceptionInACallbackIsReportedAndTheEngineGoesOn) {
  const uint16_t port = FreePort(false);
  ASSERT_TRUE(engine_.Start(nullptr, AF_INET, port, nullptr, 0, 2));
  Peer client("127.0.0.1");
  client.Send(Endpoint("127.0.0.1", port), "throw");
  client.Send(Endpoint("127.0.0.1", port), "next");
  std::string reply;
  ASSERT_TRUE(client.Receive(&reply));
  EXPECT_EQ(reply, "next");
  EXPECT_NE(Log().find("[UDP::PacketThread] Exception: callback failed"), std::string::npos);
}

}  // namespace
