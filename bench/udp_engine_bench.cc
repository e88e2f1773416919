// The UDP engine under load, and its memory at rest.
//
// Usage: udp_engine_bench serve <port>   a service engine on the IPv4 wildcard whose callback
//                                        answers every datagram at once (response bit set, sent
//                                        back from the arrival address); runs until SIGINT or
//                                        SIGTERM, then prints how many it answered.
//        udp_engine_bench idle <port>    starts a service engine and an upstream engine as the
//                                        server does, prints the resident memory before and after,
//                                        and stops them.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "net/packet_pool.h"
#include "net/udp_engine.h"
#include "shell/log.h"

namespace {

struct Responder {
  UdpEngine* engine = nullptr;
  unsigned long long answered = 0;  // packet thread only
};

void Answer(void* context, int socket, const sockaddr* remote, const AddressRecord* local, uint16_t length,
            uint8_t* data) {
  auto* r = static_cast<Responder*>(context);
  if (length > 2) data[2] |= 0x80;  // QR: this is a response
  if (r->engine->SendTo(socket, remote, local, length, data)) ++r->answered;
}

long ResidentKb() {
  long kb = -1;
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof(line), f))
      if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::atol(line + 6);
    std::fclose(f);
  }
  return kb;
}

int WaitForSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  int sig = 0;
  sigwait(&set, &sig);
  return sig;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[1], "serve") != 0 && std::strcmp(argv[1], "idle") != 0)) {
    std::fprintf(stderr, "Usage: %s serve|idle <port>\n", argv[0]);
    return 2;
  }
  // Block the stop signals before any thread starts, so that only sigwait sees them.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  StartLogAndWinsock(nullptr);
  const uint16_t port = static_cast<uint16_t>(std::atoi(argv[2]));
  int status = 0;

  if (std::strcmp(argv[1], "serve") == 0) {
    Responder responder;
    UdpEngine engine(&responder);
    responder.engine = &engine;
    engine.SetHandler(Answer);
    if (!engine.Start(nullptr, AF_INET, port, nullptr, 0, 2)) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    WaitForSignal();
    engine.Stop();
    std::printf("answered %llu\n", responder.answered);
  } else {
    const long before = ResidentKb();
    {
      UdpEngine service(nullptr), upstream(nullptr);
      if (!service.Start(nullptr, AF_INET, port, nullptr, 0, 2) || !upstream.Start(nullptr, AF_INET, 0, nullptr, 0, 1)) {
        status = 1;
      } else {
        while (service.OutstandingReceives() < UdpEngine::kReceiveTarget ||
               upstream.OutstandingReceives() < UdpEngine::kReceiveTarget)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const long after = ResidentKb();
        std::printf("idle engine pair: resident %ld kB (process before start %ld kB, engines %ld kB)\n", after,
                    before, after - before);
      }
    }
    ReleasePacketPools();
  }
  StopLogAndWinsock();
  return status;
}
