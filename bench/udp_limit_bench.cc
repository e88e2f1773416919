// The limit of this machine for a UDP responder: a minimal loop of recvmmsg and sendmmsg over a
// fixed set of buffers on one socket, answering every datagram with the DNS response bit set.
// It is what the engine's figures are compared with (see engine_bench.sh).
//
// Usage: udp_limit_bench <port> [address]   (address 127.0.0.1 by default)
// Runs until SIGINT or SIGTERM, then prints how many datagrams it answered.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kBatch = 64;
constexpr int kBufferSize = 8192;
volatile sig_atomic_t stopRequested = 0;

void OnSignal(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "Usage: %s <port> [address]\n", argv[0]);
    return 2;
  }
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = OnSignal;  // no SA_RESTART: the receive returns EINTR
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  inet_pton(AF_INET, argc > 2 ? argv[2] : "127.0.0.1", &address.sin_addr);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  int room = 2500 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof(room));
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    std::fprintf(stderr, "bind failed: %s\n", std::strerror(errno));
    return 1;
  }

  static unsigned char buffers[kBatch][kBufferSize];
  static sockaddr_in6 peers[kBatch];
  mmsghdr in[kBatch], out[kBatch];
  iovec inVectors[kBatch], outVectors[kBatch];
  unsigned long long answered = 0;
  std::printf("ready\n");
  std::fflush(stdout);
  while (!stopRequested) {
    for (int i = 0; i < kBatch; ++i) {
      inVectors[i] = iovec{buffers[i], kBufferSize};
      std::memset(&in[i].msg_hdr, 0, sizeof(msghdr));
      in[i].msg_hdr.msg_name = &peers[i];
      in[i].msg_hdr.msg_namelen = sizeof(peers[i]);
      in[i].msg_hdr.msg_iov = &inVectors[i];
      in[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(fd, in, kBatch, MSG_WAITFORONE, nullptr);
    if (n <= 0) continue;
    for (int i = 0; i < n; ++i) {
      if (in[i].msg_len > 2) buffers[i][2] |= 0x80;  // QR: this is a response
      outVectors[i] = iovec{buffers[i], in[i].msg_len};
      std::memset(&out[i].msg_hdr, 0, sizeof(msghdr));
      out[i].msg_hdr.msg_name = &peers[i];
      out[i].msg_hdr.msg_namelen = in[i].msg_hdr.msg_namelen;
      out[i].msg_hdr.msg_iov = &outVectors[i];
      out[i].msg_hdr.msg_iovlen = 1;
    }
    int sent = 0;
    while (sent < n) {
      int r = sendmmsg(fd, out + sent, static_cast<unsigned>(n - sent), 0);
      if (r <= 0) break;
      sent += r;
    }
    answered += static_cast<unsigned long long>(sent);
  }
  std::printf("answered %llu\n", answered);
  close(fd);
  return 0;
}
