// Settings re-applied while a running server answers: a real server on loopback, a real upstream
// socket, a client thread and a thread that applies the settings again and again (as the
// database-backed server does). Every local and forwarded answer must still arrive, a denied name
// must still get nothing, and under ThreadSanitizer no access may race.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "config/settings_file.h"
#include "server/dns_server.h"
#include "shell/log.h"
#include "shell/platform.h"

namespace {

int BoundUdpSocket(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return -1;
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

uint16_t FreePort() {
  uint16_t port = 0;
  int fd = BoundUdpSocket(&port);
  close(fd);
  return port;
}

// A query for name (type A) with the given id.
std::vector<uint8_t> Query(const std::string& name, uint16_t id) {
  std::vector<uint8_t> q = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    q.push_back(static_cast<uint8_t>(dot - start));
    q.insert(q.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  q.insert(q.end(), {0, 0, 1, 0, 1});
  return q;
}

// Sends the query and waits up to timeoutMs for a reply with its id.
bool Exchange(int fd, uint16_t port, const std::vector<uint8_t>& q, int timeoutMs) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  sendto(fd, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  uint8_t buffer[8192];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n >= 4 && buffer[0] == q[0] && buffer[1] == q[1] && (buffer[2] & 0x80)) return true;
  }
}

TEST(SettingsReapply, RequestsAreAnsweredWhileSettingsAreAppliedAgain) {
  const std::string dir = ::testing::TempDir();
  const std::string log = dir + "reapply_" + std::to_string(getpid()) + ".log";
  const std::string access[2] = {dir + "reapply_a_" + std::to_string(getpid()) + ".log",
                                 dir + "reapply_b_" + std::to_string(getpid()) + ".log"};
  StartLogAndWinsock(log.c_str());

  // The upstream: answers every query with itself, flagged as a response.
  uint16_t upstreamPort = 0;
  int upstream = BoundUdpSocket(&upstreamPort);
  ASSERT_GE(upstream, 0);
  std::atomic<bool> done{false};
  std::thread upstreamThread([&] {
    uint8_t buffer[8192];
    while (!done) {
      pollfd p{upstream, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      sockaddr_storage from;
      socklen_t len = sizeof(from);
      ssize_t n = recvfrom(upstream, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 12) continue;
      buffer[2] |= 0x80;
      sendto(upstream, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  });

  const uint16_t port = FreePort();
  auto settingsText = [&](int round) {
    char text[2048];
    std::snprintf(text, sizeof(text),
                  "SrvIP 127.0.0.1\nSrvPort %u\nSrvPort2 %u\nDNSHost 127.0.0.1\nDNSPort %u\n"
                  "AllowExternalDomains yes\nMyIPDomains myip.test\nDecodeIPDomains myip.test\n"
                  "DeniedDomains evil.test\nAllowedDomains myip.test,zone.test,evil.test\n"
                  "DenyFrom 10.0.0.0/8\nAccessLogFile %s\nLog %s\nDNSTimeout %d\nDNSCacheTTL %d\n",
                  port, port, upstreamPort, access[round % 2].c_str(), round % 3 == 0 ? "yes" : "no",
                  5 + round % 2, round % 2 ? 60 : 0);
    SettingsMap map;
    EXPECT_TRUE(ReadSettingsText(text, "", map));
    return map;
  };

  DNSServer server(nullptr);
  ASSERT_TRUE(server.ApplySettings(settingsText(1), false));
  Event stop;
  g_processStopEvent = &stop;
  ThreadContext context(0);
  std::thread run([&] { server.Run(&context); });
  for (int i = 0; i < 500 && !server.Started(); ++i) usleep(10000);
  ASSERT_TRUE(server.Started());

  std::atomic<int> applied{0};
  std::thread reapply([&] {
    for (int round = 0; !done && round < 400; ++round) {
      if (server.ApplySettings(settingsText(round), true)) ++applied;
      usleep(1000);
    }
  });

  uint16_t clientPort = 0;
  int client = BoundUdpSocket(&clientPort);
  int local = 0, forwarded = 0, denied = 0;
  for (int i = 0; i < 600; ++i) {
    const uint16_t id = static_cast<uint16_t>(i + 1);
    switch (i % 3) {
      case 0: local += Exchange(client, port, Query("h" + std::to_string(i) + ".myip.test", id), 2000); break;
      case 1: forwarded += Exchange(client, port, Query("f" + std::to_string(i) + ".zone.test", id), 2000); break;
      default: if (i % 30 == 2) denied += Exchange(client, port, Query("x.evil.test", id), 20);
    }
  }
  done = true;
  reapply.join();
  stop.Set();
  run.join();
  upstreamThread.join();
  g_processStopEvent = nullptr;
  close(client);
  close(upstream);
  StopLogAndWinsock();

  EXPECT_EQ(local, 200);
  EXPECT_EQ(forwarded, 200);
  EXPECT_EQ(denied, 0);
  EXPECT_GT(applied.load(), 0);
  std::remove(log.c_str());
  std::remove(access[0].c_str());
  std::remove(access[1].c_str());
}

}  // namespace
