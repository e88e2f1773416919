// Upstream forwarding: requests that nothing local answers go to DNSHost and DNSHost2 through the
// forward slots; the answers are relayed to the clients with their own ids.
#include <arpa/inet.h>

#include <cstring>

#include "server/dns_server.h"
#include "shell/log.h"

namespace {

constexpr int32_t kSiteForward = 10203;
constexpr int32_t kSiteAnswer = 10204;

void SetNoClient(SocketAddress* address) {
  std::memset(address, 0, sizeof(*address));
  auto* in = reinterpret_cast<sockaddr_in*>(address);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = INADDR_NONE;
}

void FillSlot(ForwardSlot& slot, int index, int socket, const sockaddr* client, const AddressRecord* local,
              uint16_t clientId, int64_t now) {
  slot.socket = socket;
  if (client != nullptr && AddressLength(client) > 0)
    std::memcpy(&slot.client, client, static_cast<size_t>(AddressLength(client)));
  else
    SetNoClient(&slot.client);
  if (local != nullptr)
    slot.local = *local;
  else
    std::memset(&slot.local, 0, sizeof(slot.local));
  slot.clientId = clientId;
  slot.upstreamId = htons(static_cast<uint16_t>(index + 1));
  slot.sentTime = now;
  slot.partner = nullptr;
}

void Unlink(ForwardSlot& slot) {
  if (slot.partner != nullptr) {
    slot.partner->partner = nullptr;
    slot.partner = nullptr;
  }
}

}  // namespace

int DNSServer::ForwardRequest(int socket, const sockaddr* client, const AddressRecord* local,
                              uint16_t length, uint8_t* message) {
  if (length < 2) return -2;
  const int64_t now = NowSeconds();
  char host[256], host2[256];
  uint16_t port, port2;
  int first = -1, second = -1;
  uint16_t firstId, secondId;
  {
    CriticalLockGuard guard(upstreamLock_, kSiteForward);
    std::memcpy(host, dnsHost_, sizeof(host));
    std::memcpy(host2, dnsHost2_, sizeof(host2));
    port = dnsPort_;
    port2 = dnsPort2_;
    int needed = (host[0] != '\0') + (host2[0] != '\0');
    if (needed == 0) {
      if (log_) LogMessage("DNS Host is not specified.");
      return -1;
    }
    const int64_t timeout = dnsTimeout_;
    int index = nextSlot_;
    for (int visited = 0; visited < kForwardSlots && needed > 0; ++visited) {
      ForwardSlot& slot = slots_[index];
      bool take = false;
      if (slot.sentTime == 0) {
        take = true;
      } else if (now - slot.sentTime >= timeout) {
        take = true;
        Unlink(slot);
        if (log_) LogMessage("DNS REQUEST TIMEOUT [id=0x%i]", index + 1);
      }
      if (take) {
        (first < 0 ? first : second) = index;
        --needed;
      }
      index = index + 1 == kForwardSlots ? 0 : index + 1;
    }
    if (first < 0) {
      if (log_) LogMessage("No free slots.");
      return -2;
    }
    uint16_t clientId;
    std::memcpy(&clientId, message, 2);
    slotsUsed_ = true;
    FillSlot(slots_[first], first, socket, client, local, clientId, now);
    if (second >= 0) {
      FillSlot(slots_[second], second, socket, client, local, clientId, now);
      slots_[first].partner = &slots_[second];
      slots_[second].partner = &slots_[first];
    }
    firstId = slots_[first].upstreamId;
    secondId = second >= 0 ? slots_[second].upstreamId : firstId;
    int last = second >= 0 ? second : first;
    nextSlot_ = last + 1 == kForwardSlots ? 0 : last + 1;
  }

  // Sends happen after the lock is released; their outcome is not looked at. While the engines
  // start or stop nothing is sent: the slot then times out like an unanswered request.
  if (!crossSends_.Enter()) return 0;
  if (host[0] != '\0') {
    std::memcpy(message, &firstId, 2);
    upstreamEngine_->SendToHost(length, host, port, message);
    if (host2[0] != '\0') {
      // Both hosts set but only one slot found: the second host gets the same id, and whichever
      // answer comes second finds the slot free and is dropped.
      std::memcpy(message, &secondId, 2);
      upstreamEngine_->SendToHost(length, host2, port2, message);
    }
  } else {
    std::memcpy(message, &firstId, 2);
    upstreamEngine_->SendToHost(length, host2, port2, message);
  }
  crossSends_.Leave();
  return 0;
}

void DNSServer::HandleUpstreamResponse(int socket, const sockaddr* upstream, const AddressRecord*,
                                       uint16_t length, uint8_t* message) {
  if (length == 0) return;
  const bool log = log_, dump = dump_;
  const bool accessLog = accessLogOn_;
  const uint32_t ttl = cacheTTL_;
  if (log || dump) {
    char text[kAddressTextSize] = "";
    SockaddrToText(upstream, text, sizeof(text));
    uint16_t port = upstream->sa_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6*>(upstream)->sin6_port)
                                                    : ntohs(reinterpret_cast<const sockaddr_in*>(upstream)->sin_port);
    LogMessage("DNS RESPONSE %s:%hu [%u] [%hu bytes]", text, port, static_cast<unsigned>(socket), length);
    if (dump) LogHexDump(length, message);
  }

  // Parsed for the debug lines and the access log; an answer is stored in a ring only once its
  // slot has proved it answers a request of ours (a stray or forged datagram never enters the cache).
  DnsHeader header;
  DnsQuestion question;
  char names[2048];
  std::memset(&header, 0, sizeof(header));
  std::memset(&question, 0, sizeof(question));
  const bool storable = ttl != 0 && length <= 512;
  int parsed = -1;
  if (log || accessLog || storable) {
    DnsRecord records[64];
    parsed = ParseAndLogResponse(length, message, &header, &question, records, names, false);
  }

  if (length < 2) return;
  uint16_t id;
  std::memcpy(&id, message, 2);
  const uint16_t index = static_cast<uint16_t>(ntohs(id) - 1);
  if (index >= kForwardSlots) {
    if (log) LogMessage("DNS RESPONSE REJECTED [id=0x%i]: bad request id", index + 1);
    return;
  }
  int clientSocket;
  SocketAddress client;
  AddressRecord local;
  uint16_t clientId;
  {
    CriticalLockGuard guard(upstreamLock_, kSiteAnswer);
    ForwardSlot& slot = slots_[index];
    if (slot.sentTime == 0) {
      if (log) LogMessage("DNS RESPONSE REJECTED [id=0x%i]: zero time", index + 1);
      return;
    }
    if (NowSeconds() - slot.sentTime >= static_cast<int64_t>(dnsTimeout_)) {
      slot.sentTime = 0;
      Unlink(slot);
      if (log) LogMessage("DNS RESPONSE REJECTED [id=0x%i]: timed out", index + 1);
      return;
    }
    clientSocket = slot.socket;
    client = slot.client;
    local = slot.local;
    clientId = slot.clientId;
    slot.sentTime = 0;
    if (slot.partner != nullptr) {
      SetNoClient(&slot.partner->client);
      Unlink(slot);
    }
  }

  if (parsed == 0 && storable && (header.flags & 0x8000) && ((header.flags >> 11) & 15) == 0 &&
      !(header.flags & 0x0200) && (header.flags & 15) == 0)
    rings_.Store(log, length, message, question);

  std::memcpy(message, &clientId, 2);
  if (IsNoneAddress(&client.sa)) return;  // the partner's answer won
  if (accessLog) {
    char text[kAddressTextSize] = "";
    SockaddrToText(&client.sa, text, sizeof(text));
    AccessLog("%s [%hu] RESPONSE %s %s %hu", text, length, dns_type_name(question.qtype),
              question.name ? question.name : "", static_cast<unsigned short>(header.flags & 15));
  }
  if (!crossSends_.Enter()) return;  // the service engine is stopping
  SendToClient(clientSocket, &client.sa, &local, length, message);
  crossSends_.Leave();
}

// Sets one upstream host: empty clears it; otherwise the text must resolve (in the service family
// first) and fit its 256-character field. An IPv6 result turns the upstream engine to IPv6.
bool DNSServer::SetUpstreamHost(char* field, const char* text, int32_t clearSite, int32_t setSite) {
  if (text == nullptr || text[0] == '\0') {
    CriticalLockGuard guard(upstreamLock_, clearSite);
    field[0] = '\0';
    return true;
  }
  AddressRecord resolved;
  if (!serviceEngine_->ResolveHostUncached(&resolved, text)) return false;
  if (resolved.family == AF_INET6) upstreamIPv6_ = true;
  CriticalLockGuard guard(upstreamLock_, setSite);
  if (std::strlen(text) >= sizeof(dnsHost_)) return false;
  std::strncpy(field, text, sizeof(dnsHost_) - 1);
  field[sizeof(dnsHost_) - 1] = '\0';
  return true;
}

bool DNSServer::SetDNSHost(const char* text) { return SetUpstreamHost(dnsHost_, text, 10205, 10206); }

bool DNSServer::SetDNSHost2(const char* text) { return SetUpstreamHost(dnsHost2_, text, 10207, 10208); }
