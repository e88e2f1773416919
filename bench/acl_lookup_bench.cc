// Figures for the access lists: loading a one-million-line denied list from a file and from a URL
// (an in-process HTTP responder on loopback), lookups per second in it (hit and miss, names of four
// labels), the longest stall of a lookup while the list is reloaded, and the cost of an IP check.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "acl/domain_list.h"
#include "acl/ip_access_control.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

constexpr int kEntries = 1000000;

std::string Entry(int i) { return "host" + std::to_string(i) + ".zone" + std::to_string(i % 997) + ".example"; }

// Answers every connection with the same document, until stopped.
class Responder {
 public:
  explicit Responder(const std::string& body) {
    response_ = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(fd_, 8);
    socklen_t len = sizeof(a);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      for (;;) {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0 || stop_) {
          if (c >= 0) close(c);
          return;
        }
        char buf[4096];
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
          ssize_t n = read(c, buf, sizeof(buf));
          if (n <= 0) break;
          request.append(buf, n);
        }
        size_t sent = 0;
        while (sent < response_.size()) {
          ssize_t n = write(c, response_.data() + sent, response_.size() - sent);
          if (n <= 0) break;
          sent += n;
        }
        close(c);
      }
    });
  }
  ~Responder() {
    stop_ = true;
    int c = socket(AF_INET, SOCK_STREAM, 0);  // wakes the accept
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port_);
    connect(c, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    close(c);
    thread_.join();
    close(fd_);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/denied.txt"; }

 private:
  std::string response_;
  int fd_;
  int port_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

double LookupsPerSecond(const DeniedDomainList& list, const std::vector<std::string>& names, bool expect) {
  const int rounds = 4;
  size_t wrong = 0;
  auto start = Clock::now();
  for (int r = 0; r < rounds; ++r)
    for (const auto& n : names) wrong += list.IsDenied(n.c_str()) != expect;
  double s = Seconds(start);
  if (wrong) std::printf("  (%zu unexpected answers)\n", wrong);
  return rounds * names.size() / s;
}

}  // namespace

int main() {
  char dir[] = "/tmp/acl-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string path = std::string(dir) + "/denied.txt";
  std::string body;
  body.reserve(kEntries * 32);
  for (int i = 0; i < kEntries; ++i) body += Entry(i) + "\n";
  if (FILE* f = std::fopen(path.c_str(), "w")) {
    std::fwrite(body.data(), 1, body.size(), f);
    std::fclose(f);
  }
  std::printf("denied list: %d lines, %.1f MB\n", kEntries, body.size() / 1e6);

  DeniedDomainList denied;
  auto start = Clock::now();
  if (!denied.LoadFromFile(path.c_str())) return 1;
  std::printf("load from file:            %.3f s (%zu entries)\n", Seconds(start), denied.Count());
  {
    Responder responder(body);
    DeniedDomainList fromUrl;
    start = Clock::now();
    bool ok = fromUrl.LoadFromUrl(responder.Url().c_str());
    std::printf("load from URL (loopback):  %.3f s (%s, %zu entries)\n", Seconds(start), ok ? "ok" : "FAILED",
                fromUrl.Count());
  }

  std::vector<std::string> hits, misses;
  unsigned seed = 12345;
  for (int i = 0; i < 500000; ++i) {
    seed = seed * 1103515245u + 12345u;
    int k = static_cast<int>(seed % kEntries);
    hits.push_back("www." + Entry(k));                                   // 5 labels, parent listed
    misses.push_back("www.nohost" + std::to_string(k) + ".zone1.example");  // 4 labels, none listed
  }
  std::printf("lookups, hit (www.<entry>):  %.2f M/s\n", LookupsPerSecond(denied, hits, true) / 1e6);
  std::printf("lookups, miss (4 labels):    %.2f M/s\n", LookupsPerSecond(denied, misses, false) / 1e6);
  {
    DeniedDomainList small;
    small.SetFromText("ads.example,tracker.example");
    std::printf("lookups, miss, 2-entry list: %.2f M/s\n", LookupsPerSecond(small, misses, false) / 1e6);
  }

  // Lookups on one thread while the main thread reloads the million-line list from its file three
  // times (or only waits as long, for the baseline): the longest single lookup and the number that
  // took over 1 ms. The reader lock sleeps 5 ms when it meets a waiting writer, so each swap may
  // cost a lookup that long; the load itself stops no lookup.
  auto watch = [&](bool reload) {
    std::atomic<bool> done{false};
    long count = 0, slow = 0;
    double worstUs = 0;
    std::thread reader([&] {
      size_t i = 0;
      while (!done.load()) {
        auto t = Clock::now();
        denied.IsDenied(hits[i++ % hits.size()].c_str());
        double us = Seconds(t) * 1e6;
        worstUs = std::max(worstUs, us);
        slow += us > 1000;
        ++count;
      }
    });
    auto begin = Clock::now();
    if (reload) {
      for (int i = 0; i < 3; ++i) denied.Reload();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    double spent = Seconds(begin);
    done = true;
    reader.join();
    std::printf("%s %.3f s, %ld lookups meanwhile, %ld over 1 ms, longest %.0f us\n",
                reload ? "3 reloads from file:        " : "no reload (baseline):       ", spent, count, slow,
                worstUs);
  };
  watch(false);
  watch(true);

  // IP checks: 1000 exact entries and three networks, Allow,Deny; clients inside and outside.
  IPAccessControl ip;
  std::string allow = "10.0.0.0/8,172.16.0.0/12:53";
  for (int i = 0; i < 1000; ++i) allow += ",192.168." + std::to_string(i / 250) + "." + std::to_string(i % 250);
  ip.SetAllowList(allow.c_str());
  ip.SetDenyList("10.1.0.0/16");
  ip.SetOrder("AllowDeny");
  std::vector<uint32_t> clients;
  for (int i = 0; i < 1024; ++i) {
    seed = seed * 1103515245u + 12345u;
    clients.push_back(htonl((i % 2 ? 0x0A000000u : 0xC0A80000u) | (seed & 0xFFFFu)));
  }
  const int checks = 5000000;
  size_t allowed = 0;
  start = Clock::now();
  for (int i = 0; i < checks; ++i) allowed += ip.IsAllowed(clients[i & 1023], 5353);
  double s = Seconds(start);
  std::printf("IP check:                    %.1f ns each (%zu of %d allowed)\n", s * 1e9 / checks, allowed, checks);
  {
    IPAccessControl open;  // Deny,Allow with empty lists: the common case of no IP control
    start = Clock::now();
    for (int i = 0; i < checks; ++i) allowed += open.IsAllowed(clients[i & 1023], 5353);
    std::printf("IP check, no lists:          %.1f ns each\n", Seconds(start) * 1e9 / checks);
  }
  std::remove(path.c_str());
  rmdir(dir);
  return 0;
}
