#include "shell/address.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int AddressToText(int family, const void* addressBytes, char* text, size_t textSize, bool brackets) {
  if (addressBytes == nullptr || text == nullptr || textSize == 0) return EINVAL;
  char buf[kAddressTextSize];
  size_t n = 0;
  auto put = [&](const char* s) {
    size_t l = std::strlen(s);
    std::memcpy(buf + n, s, l);
    n += l;
  };
  const auto* b = static_cast<const uint8_t*>(addressBytes);
  if (family == AF_INET) {
    if (brackets) put("[");
    n += std::snprintf(buf + n, sizeof(buf) - n, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    if (brackets) put("]");
  } else if (family == AF_INET6) {
    uint16_t g[8];
    for (int i = 0; i < 8; ++i) g[i] = static_cast<uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
    // The first run of at least three zero groups that starts at group 0 to 5.
    int runStart = -1, runEnd = -1;
    for (int i = 0; i <= 5; ++i) {
      if (g[i] == 0 && g[i + 1] == 0 && g[i + 2] == 0) {
        runStart = i;
        runEnd = i + 3;
        while (runEnd < 8 && g[runEnd] == 0) ++runEnd;
        break;
      }
    }
    if (brackets) put("[");
    for (int i = 0; i < 8; ++i) {
      if (i == runStart) {
        put("::");
        i = runEnd - 1;
        continue;
      }
      if (i > 0 && i != runEnd) put(":");
      n += std::snprintf(buf + n, sizeof(buf) - n, "%x", g[i]);
    }
    if (brackets) put("]");
  } else {
    return EAFNOSUPPORT;
  }
  if (n + 1 > textSize) return EINVAL;
  std::memcpy(text, buf, n);
  text[n] = '\0';
  return 0;
}

bool SockaddrToText(const sockaddr* address, char* text, size_t textSize) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    return AddressToText(AF_INET, &in->sin_addr, text, textSize, false) == 0;
  }
  if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    return AddressToText(AF_INET6, &in6->sin6_addr, text, textSize, true) == 0;
  }
  return false;
}

void SetNoneAddress(AddressRecord* record) {
  std::memset(record->addr, 0, sizeof(record->addr));
  std::memset(record->addr, 0xFF, 4);
  record->family = AF_INET;
}

void SetAnyAddress(AddressRecord* record, int family) {
  std::memset(record->addr, 0, sizeof(record->addr));
  record->family = static_cast<uint16_t>(family);
}

bool TextToAddress(const char* text, AddressRecord* record) {
  SetNoneAddress(record);
  if (text == nullptr) return false;
  size_t len = strnlen(text, 65);
  if (len == 0 || len > 64) return false;  // refused rather than copied past the limit
  char copy[65];
  std::memcpy(copy, text, len);
  copy[len] = '\0';
  bool v6 = copy[0] == '[' || (std::strchr(copy, ':') && !std::strchr(copy, '.'));
  uint8_t bytes[16] = {0};
  if (v6) {
    char* start = copy;
    if (*start == '[') {
      ++start;
      char* close = std::strchr(start, ']');
      if (!close) return false;
      // "[addr]" or "[addr]:port"; the port is not part of the address record.
      if (close[1] != '\0' && close[1] != ':') return false;
      *close = '\0';
    }
    if (inet_pton(AF_INET6, start, bytes) != 1) return false;
    std::memcpy(record->addr, bytes, 16);
    record->family = AF_INET6;
    return true;
  }
  // "a.b.c.d" or "a.b.c.d:port".
  if (char* colon = std::strchr(copy, ':')) *colon = '\0';
  if (inet_pton(AF_INET, copy, bytes) != 1) return false;
  std::memset(record->addr, 0, sizeof(record->addr));
  std::memcpy(record->addr, bytes, 4);
  record->family = AF_INET;
  return true;
}

bool IsNoneAddress(const sockaddr* address) {
  if (address == nullptr || address->sa_family != AF_INET) return false;
  return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == INADDR_NONE;
}

bool IsNoneAddress(const AddressRecord& record) {
  static const uint8_t none[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  return record.family == AF_INET && std::memcmp(record.addr, none, 4) == 0;
}

static bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

bool IsAnyAddress(const AddressRecord& record) {
  if (record.family == AF_INET) return AllZero(record.addr, 4);
  if (record.family == AF_INET6) return AllZero(record.addr, 16);
  return false;
}

bool IsAnyAddress(const sockaddr* address) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET)
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == INADDR_ANY;
  if (address->sa_family == AF_INET6)
    return AllZero(reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr.s6_addr, 16);
  return false;
}

bool SetLoopback(AddressRecord* record, int family) {
  if (family == AF_INET) {
    SetAnyAddress(record, AF_INET);
    record->addr[0] = 127;
    record->addr[3] = 1;
    return true;
  }
  if (family == AF_INET6) {
    SetAnyAddress(record, AF_INET6);
    record->addr[15] = 1;
    return true;
  }
  return false;
}

bool ResolveHostAddress(const char* host, AddressRecord* record, int family) {
  if (host == nullptr || record == nullptr) return false;
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &list) != 0 || list == nullptr) return false;
  const addrinfo* wanted = nullptr;
  const addrinfo* other = nullptr;
  for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
    if (ai->ai_family == family && !wanted) wanted = ai;
    if ((ai->ai_family == AF_INET || ai->ai_family == AF_INET6) && ai->ai_family != family && !other)
      other = ai;
  }
  const addrinfo* pick = wanted ? wanted : other;
  bool ok = pick && SockaddrToRecord(pick->ai_addr, record);
  freeaddrinfo(list);
  return ok;
}

int AddressLength(const sockaddr* address) {
  if (address == nullptr) return 0;
  if (address->sa_family == AF_INET) return sizeof(sockaddr_in);
  if (address->sa_family == AF_INET6) return sizeof(sockaddr_in6);
  return 0;
}

int RecordToSockaddr(const AddressRecord& record, uint16_t port, sockaddr_storage* out) {
  std::memset(out, 0, sizeof(*out));
  if (record.family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(out);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    std::memcpy(&in->sin_addr, record.addr, 4);
    return sizeof(sockaddr_in);
  }
  if (record.family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(out);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    std::memcpy(&in6->sin6_addr, record.addr, 16);
    return sizeof(sockaddr_in6);
  }
  return 0;
}

bool SockaddrToRecord(const sockaddr* address, AddressRecord* record) {
  if (address == nullptr) return false;
  if (address->sa_family == AF_INET) {
    SetAnyAddress(record, AF_INET);
    std::memcpy(record->addr, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
    return true;
  }
  if (address->sa_family == AF_INET6) {
    SetAnyAddress(record, AF_INET6);
    std::memcpy(record->addr, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
    return true;
  }
  return false;
}
