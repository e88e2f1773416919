// The request pipeline: the road of one client query, written once, in order.
//
//   HandleClientRequest
//     1. empty datagram: ignored
//     2. debug line and hex dump
//     3. IPv4 clients: the client IP control (refused: no reply, "IP REJECTED")
//     4. MakeLocalResponse:
//          parse -> denied list -> request header line -> allowed list -> MYIP rule (A, IPv4)
//          -> response rings -> zone cache -> zone files
//     5. names that may not be answered: no reply, one access-log line
//     6. the access-log REQUEST line
//     7. local answers (rings, zone cache, zone files, MYIP): sent back from the arrival address
//     8. nothing local: forwarded upstream when allowed (the answer is relayed on arrival)
//     9/10. anything else: an error reply (RCODE 2, or 3 without an upstream host)
#include <arpa/inet.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "dns/dns_cache.h"
#include "dns/zone_file.h"
#include "server/dns_server.h"
#include "shell/log.h"

namespace {

constexpr size_t kNameBufferSize = 2048;
constexpr uint32_t kMaxParsedRecords = 64;

int MapCodecError(int code) {
  if (code <= -1 && code >= -6) return kParseErrorBase - code;
  if (code == -16) return kBadDomain;
  return code;
}

uint16_t ClientPort(const sockaddr* client) {
  if (client->sa_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(client)->sin_port);
  if (client->sa_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(client)->sin6_port);
  return 0;
}

void LogHeaderLine(const DnsHeader& h, const DnsQuestion& q, bool newline) {
  LogRaw("id=0x%hx, flags=0x%hx (qr:%i, opcode:%hu, aa:%i, tc:%i, rd:%i, ra:%i, z:%hu, rcode:%hu), "
         "qdcount=%hu, ancount=%hu, nscount=%hu, arcount=%hu\n    name=%s, qtype=%s, qclass=%s%s",
         h.id, h.flags, (h.flags >> 15) & 1, static_cast<unsigned short>((h.flags >> 11) & 15),
         (h.flags >> 10) & 1, (h.flags >> 9) & 1, (h.flags >> 8) & 1, (h.flags >> 7) & 1,
         static_cast<unsigned short>((h.flags >> 4) & 7), static_cast<unsigned short>(h.flags & 15),
         h.qdcount, h.ancount, h.nscount, h.arcount, q.name ? q.name : "", dns_type_name(q.qtype),
         dns_class_name(q.qclass), newline ? "\n" : "");
}

void LogRecordLine(uint16_t id, int n, const DnsRecord& r) {
  const char* name = r.name ? r.name : "";
  const char* type = dns_type_name(r.type);
  const char* cls = dns_class_name(r.class_);
  unsigned short ttl = static_cast<unsigned short>(r.ttl);
  switch (r.type) {
    case 1: {
      char ip[kAddressTextSize];
      AddressToText(AF_INET, r.ip4, ip, sizeof(ip), false);
      LogRaw("  RR [id=0x%hx] %i: name=%s, type=%s, class=%s, ttl=%hu, rdlength=%hu, ip4=%s\n", id, n, name,
             type, cls, ttl, r.rdlength, ip);
      break;
    }
    case 2: case 3: case 4: case 5: case 7: case 8: case 9: case 12: case 16:
      LogRaw("  RR [id=0x%hx] %i: name=%s, type=%s, class=%s, ttl=%hu, rdlength=%hu, str=%s\n", id, n, name, type,
             cls, ttl, r.rdlength, r.str ? r.str : "");
      break;
    case 6: {
      const DnsSoa* soa = r.soa;
      LogRaw("  RR [id=0x%hx] %i: name=%s, type=%s, class=%s, ttl=%hu, rdlength=%hu, mname=%s, rname=%s, "
             "serial=%u, refresh=%u, retry=%u, expire=%u, minimum=%u\n",
             id, n, name, type, cls, ttl, r.rdlength, soa ? soa->mname : "", soa ? soa->rname : "",
             soa ? soa->serial : 0, soa ? soa->refresh : 0, soa ? soa->retry : 0, soa ? soa->expire : 0,
             soa ? soa->minimum : 0);
      break;
    }
    case 15: {
      const DnsMx* mx = r.mx;
      LogRaw("  RR [id=0x%hx] %i: name=%s, type=%s, class=%s, ttl=%hu, rdlength=%hu, preference=%hu, "
             "exchanger=%s\n",
             id, n, name, type, cls, ttl, r.rdlength, static_cast<unsigned short>(mx ? mx->preference : 0),
             mx ? mx->exchanger : "");
      break;
    }
    case 28: {
      uint16_t groups[8];
      std::memcpy(groups, r.ip6, sizeof(groups));  // groups in network order, as the codec keeps them
      char ip[64];
      dns_format_ipv6(groups, ip);
      LogRaw("  RR [id=0x%hx] %i: name=%s, type=%s, class=%s, ttl=%hu, rdlength=%hu, ip6=%s\n", id, n, name,
             type, cls, ttl, r.rdlength, ip);
      break;
    }
    default:
      LogRaw("  RR [id=0x%hx] %i: name=%s, type=%s, class=%s, ttl=%hu, rdlength=%hu\n", id, n, name, type, cls,
             ttl, r.rdlength);
  }
}

}  // namespace

void DNSServer::AccessLog(const char* fmt, ...) {
  // The access-log path may be replaced by a settings reload; take a copy first.
  char path[kTextSize];
  {
    SpinRWGuard guard(accessLogLock_, 10113, SpinRWGuard::Read);
    std::memcpy(path, accessLogFile_, sizeof(path));
  }
  path[sizeof(path) - 1] = '\0';
  if (path[0] == '\0') return;
  char line[8192];
  va_list args;
  va_start(args, fmt);
  vsnprintf(line, sizeof(line), fmt, args);
  va_end(args);
  LogToFile(path, false, "%s", line);
}

void DNSServer::SendToClient(int socket, const sockaddr* client, const AddressRecord* local,
                             uint16_t length, const uint8_t* message) {
  serviceEngine_->SendTo(socket, client, local, length, message);
}

void DNSServer::HandleClientRequest(int socket, const sockaddr* client, const AddressRecord* local,
                                    uint16_t length, uint8_t* message) {
  if (length == 0) return;
  const bool log = log_, dump = dump_;
  const bool accessLog = accessLogOn_;
  // The client as text appears only in debug and access-log lines.
  char clientText[kAddressTextSize] = "";
  if (log || dump || accessLog) SockaddrToText(client, clientText, sizeof(clientText));
  const uint16_t port = ClientPort(client);

  if (log || dump) {
    LogMessage("DNS REQUEST %s:%hu [%u] [%hu bytes]", clientText, port, static_cast<unsigned>(socket), length);
    if (dump) LogHexDump(length, message);
  }

  if (client->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(client);
    if (!ipControl_.IsAllowed(in->sin_addr.s_addr, port)) {
      if (log) LogMessage("IP REJECTED: %s", clientText);
      if (accessLog) AccessLog("%s [%hu] IP REJECTED", clientText, length);
      return;
    }
  }

  DnsHeader header;
  std::memset(&header, 0, sizeof(header));
  DnsQuestion question;
  std::memset(&question, 0, sizeof(question));
  char nameBuffer[kNameBufferSize];
  nameBuffer[0] = '\0';
  const uint16_t requestLength = length;
  int result = MakeLocalResponse(client, &length, message, &header, &question, nameBuffer);
  if (result == kNotLocal && !allowExternalDomains_) result = kDomainRefused;
  // The question name as far as it was read ("" when the request had no readable question).
  const char* name = question.name ? question.name : "";

  switch (result) {
    case kBadDomain:
      if (accessLog) AccessLog("%s [%hu] REQUEST REJECTED - BAD DOMAIN: %s", clientText, length, name);
      return;
    case kEmptyDomain:
      if (accessLog) AccessLog("%s [%hu] REQUEST REJECTED - DOMAIN IS EMPTY", clientText, length);
      return;
    case kDomainRefused:
      if (accessLog) AccessLog("%s [%hu] DOMAIN REFUSED: %s", clientText, length, name);
      return;
    case kDomainRejected:
      if (accessLog) AccessLog("%s [%hu] DOMAIN REJECTED: %s", clientText, length, name);
      return;
    default:
      break;
  }

  if (accessLog) {
    char decoded[32] = "";
    DecodeDomainIP(name, decoded, sizeof(decoded));
    if (result >= kNotLocal && result <= kFromMyIP)
      AccessLog("%s [%hu] REQUEST %s %s %s", clientText, length, dns_type_name(question.qtype), name, decoded);
    else
      AccessLog("%s [%hu] REQUEST FAILED (%i) %s %s %s", clientText, length, result, dns_type_name(question.qtype),
                name, decoded);
  }

  // Sends a local or error reply: debug lines, the RESPONSE access-log line, then the datagram.
  auto reply = [&](uint16_t replyLength) {
    if (log || dump) {
      LogMessage("DNS RESPONSE %s:%hu [%hu bytes]", clientText, port, replyLength);
      if (dump) LogHexDump(replyLength, message);
    }
    if (log || accessLog) {
      DnsHeader rh;
      DnsQuestion rq;
      DnsRecord records[kMaxParsedRecords];
      char replyNames[kNameBufferSize];
      std::memset(&rh, 0, sizeof(rh));
      std::memset(&rq, 0, sizeof(rq));
      ParseAndLogResponse(replyLength, message, &rh, &rq, records, replyNames, false);
      if (accessLog)
        AccessLog("%s [%hu] RESPONSE %s %s %hu", clientText, replyLength, dns_type_name(rq.qtype),
                  rq.name ? rq.name : "", static_cast<unsigned short>(rh.flags & 15));
    }
    SendToClient(socket, client, local, replyLength, message);
  };

  int rcode = 2;
  if (result >= kFromRing && result <= kFromMyIP) {
    if (log) {
      static const char* const kSources[] = {"", "RESPONSE FROM CACHE", "RESPONSE FROM DOMAIN INFO CACHE",
                                             "RESPONSE FROM DOMAIN INFO FILE", "RESPONSE \"MYIP\""};
      LogMessage("%s", kSources[result]);
    }
    reply(length);
    return;
  }
  if (result == kNotLocal) {
    int sent = ForwardRequest(socket, client, local, requestLength, message);
    if (sent == 0) return;
    rcode = sent == -1 ? 3 : 2;
  }

  // The error reply is built over the request from its parsed question.
  if (question.name == nullptr) return;
  int built = dns_make_response(&question, message, header.id, header.flags, rcode, nullptr);
  if (built <= 0) return;
  if (log) LogMessage("RESPONSE ERROR STATUS (RCODE = %i)", rcode);
  reply(static_cast<uint16_t>(built));
}

int DNSServer::MakeLocalResponse(const sockaddr* client, uint16_t* length, uint8_t* message,
                                 DnsHeader* header, DnsQuestion* question, char* nameBuffer) {
  const bool log = log_;
  int rc = dns_parse_request(header, message, *length, question, nameBuffer);
  if (rc < 0) {
    int mapped = MapCodecError(rc);
    if (log) LogMessage("REQUEST PARSE ERROR [%i]", mapped);
    // Without a header or a question there is nothing to answer: no error reply either.
    if (*length < 12 || header->qdcount == 0) question->name = nullptr;
    return mapped;
  }
  const char* name = question->name;
  if (name == nullptr || name[0] == '\0') {
    if (log) LogMessage("BAD REQUEST - EMPTY DOMAIN");
    return kEmptyDomain;
  }
  if (deniedDomains_.IsDenied(name)) {
    if (log) LogMessage("DOMAIN REJECTED: %s", name);
    return kDomainRejected;
  }
  if (log) LogHeaderLine(*header, *question, true);
  if (!allowedDomains_.IsAllowed(name)) {
    if (log) LogMessage("DOMAIN REFUSED: %s", name);
    return kDomainRefused;
  }

  if (question->qtype == 1 && client->sa_family == AF_INET && IsMyIPDomain(name)) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(client);
    char ip[kAddressTextSize];
    AddressToText(AF_INET, &in->sin_addr, ip, sizeof(ip), false);
    DomainInfo* zone = domain_info_new();
    int built = -3;
    if (zone != nullptr) {
      std::strncpy(zone->origin, name, sizeof(zone->origin) - 1);
      zone->origin[sizeof(zone->origin) - 1] = '\0';
      DnsRecord* record = dns_record_new_a("@", 1, 0, ip, zone->origin);
      if (record != nullptr) domain_info_add(zone, record);
      built = dns_make_response(question, message, header->id, header->flags, 0, zone);
      domain_info_free(&zone);
    }
    if (built > 0) {
      *length = static_cast<uint16_t>(built);
      return kFromMyIP;
    }
    if (log) LogMessage("dns_make_response failed with error %i", built);
    return built;
  }

  const uint32_t ttl = cacheTTL_;
  if (ttl != 0) {
    if (rings_.Lookup(ttl, log, length, message, *question)) return kFromRing;
    int built = MakeResponseFromCache(question, cache_, message, header->id, header->flags);
    if (built > 0) {
      *length = static_cast<uint16_t>(built);
      return kFromZoneCache;
    }
    if (built < 0) {
      if (log) LogMessage("MakeResponseFromCache failed with error %i", built);
      return built;
    }
  }
  int built = MakeResponseFromFile(question, cache_, message, header->id, header->flags);
  if (built > 0) {
    *length = static_cast<uint16_t>(built);
    return kFromZoneFile;
  }
  if (built < 0) {
    if (log) LogMessage("MakeResponseFromFile failed with error %i", built);
    return built;
  }
  return kNotLocal;
}

int DNSServer::ParseAndLogResponse(uint16_t length, const uint8_t* message, DnsHeader* header,
                                   DnsQuestion* question, DnsRecord* records, char* nameBuffer, bool store) {
  const bool log = log_;
  nameBuffer[0] = '\0';
  size_t count = kMaxParsedRecords;
  int rc = dns_parse_response(message, length, header, question, records, &count, nameBuffer);
  if (rc < 0) {
    int mapped = MapCodecError(rc);
    if (log) LogMessage("RESPONSE PARSE ERROR [%i]", mapped);
    question->name = nullptr;
    return mapped;
  }
  if (question->name == nullptr || question->name[0] == '\0') {
    if (log) LogMessage("RESPONSE REJECTED - EMPTY DOMAIN");
    question->name = nullptr;
    return kEmptyDomain;
  }
  if (log) {
    LogHeaderLine(*header, *question, false);
    for (size_t i = 0; i < count; ++i) LogRecordLine(header->id, static_cast<int>(i), records[i]);
  }
  const uint32_t ttl = cacheTTL_;
  const uint16_t flags = header->flags;
  if (store && ttl != 0 && length <= 512 && (flags & 0x8000) && ((flags >> 11) & 15) == 0 && !(flags & 0x0200) &&
      (flags & 15) == 0) {
    rings_.Store(log, length, message, *question);
  }
  return 0;
}
