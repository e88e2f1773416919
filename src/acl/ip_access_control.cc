#include "acl/ip_access_control.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shell/log.h"

namespace {

constexpr int32_t kSiteCheck = 14001;
constexpr int32_t kSitePrint = 14002;
constexpr int32_t kSiteAllowText = 14101;
constexpr int32_t kSiteDenyText = 14102;
constexpr int32_t kSiteOrder = 14103;
constexpr int32_t kSiteFile = 14111;

// The decimal number at the start of the text, as atoi reads it, clamped to the int range.
long ReadNumber(std::string_view text) {
  char buf[32];
  size_t n = text.size() < sizeof(buf) - 1 ? text.size() : sizeof(buf) - 1;
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
  long v = std::strtol(buf, nullptr, 10);
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return v;
}

uint32_t Mask(int prefix) { return prefix == 0 ? 0u : 0xFFFFFFFFu << (32 - prefix); }

bool MatchPort(const std::unordered_map<uint32_t, uint16_t>& map, uint32_t key, uint16_t port) {
  auto it = map.find(key);
  return it != map.end() && (it->second == 0 || it->second == port);
}

std::string PortText(uint16_t port) { return port ? ":" + std::to_string(port) : std::string(); }

std::string HostText(uint32_t host) {
  in_addr a;
  a.s_addr = htonl(host);
  char buf[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &a, buf, sizeof(buf));
  return buf;
}

void PrintList(const IPList& list, bool allow) {
  const char* verb = allow ? "ALLOWED" : "DENIED";
  bool any = false;
  auto head = [&] {
    if (!any) LogRaw(allow ? "\nAccess allowed %s IP:\n" : "\nAccess denied %s IP:\n", "from");
    any = true;
  };
  for (const auto& e : list.exact) {
    head();
    LogRaw("  %s%s %s\n", HostText(e.first).c_str(), PortText(e.second).c_str(), verb);
  }
  for (int prefix = 0; prefix < 32; ++prefix) {
    for (const auto& e : list.networks[prefix]) {
      head();
      LogRaw("  %s/%i%s %s\n", HostText(e.first).c_str(), prefix, PortText(e.second).c_str(), verb);
    }
  }
  if (any) LogRaw("\n");
}

}  // namespace

void IPList::Clear() {
  exact.clear();
  for (auto& m : networks) m.clear();
  networkPresent.fill(false);
}

bool IPList::Empty() const {
  if (!exact.empty()) return false;
  for (bool present : networkPresent)
    if (present) return false;
  return true;
}

bool IPList::AddEntry(std::string_view entry) {
  // Port: after the last ":"; an entry that starts with ":" means every address.
  uint16_t port = 0;
  std::string_view address = entry;
  size_t colon = entry.rfind(':');
  if (colon != std::string_view::npos) {
    port = static_cast<uint16_t>(ReadNumber(entry.substr(colon + 1)));
    address = entry.substr(0, colon);
  }
  if (colon == 0) address = "0.0.0.0/0";
  // Prefix: after the first "/", unless that "/" ends the address part.
  long prefix = 32;
  size_t slash = address.find('/');
  if (slash != std::string_view::npos && slash + 1 < address.size()) {
    prefix = ReadNumber(address.substr(slash + 1));
    address = address.substr(0, slash);
  }
  if (address.empty() || address.size() > 15) return false;
  char text[16];
  std::memcpy(text, address.data(), address.size());
  text[address.size()] = '\0';
  in_addr_t converted = inet_addr(text);
  if (converted == INADDR_NONE) return false;  // also 255.255.255.255 itself
  uint32_t host = ntohl(converted);
  if (prefix < 0 || prefix > 31) {
    exact[host] = port;
  } else {
    int p = static_cast<int>(prefix);
    networks[p][host & Mask(p)] = port;
    networkPresent[p] = true;
  }
  return true;
}

void IPList::AddText(std::string_view text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find_first_of(",\n", start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view entry = text.substr(start, end - start);
    if (!entry.empty() && entry.back() == '\r') entry.remove_suffix(1);
    if (!entry.empty()) AddEntry(entry);
    start = end + 1;
  }
}

bool IPList::Matches(uint32_t host, uint16_t port) const {
  if (!exact.empty() && MatchPort(exact, host, port)) return true;
  for (int prefix = 0; prefix < 32; ++prefix)
    if (networkPresent[prefix] && MatchPort(networks[prefix], host & Mask(prefix), port)) return true;
  return false;
}

IPAccessControl::~IPAccessControl() = default;

bool IPAccessControl::IsAllowed(uint32_t networkAddress, uint16_t port) const {
  uint32_t host = ntohl(networkAddress);
  SpinRWGuard guard(lock_, kSiteCheck, SpinRWGuard::Read);
  if (allowDeny_) return allow_.Matches(host, port) && !deny_.Matches(host, port);
  return !deny_.Matches(host, port) || allow_.Matches(host, port);
}

void IPAccessControl::Replace(IPList& fresh, bool allow, int32_t site) {
  SpinRWGuard guard(lock_, site, SpinRWGuard::Write);
  std::swap(allow ? allow_ : deny_, fresh);
}

bool IPAccessControl::SetAllowList(const char* text) {
  IPList fresh;
  if (text) fresh.AddText(text);
  Replace(fresh, true, kSiteAllowText);
  return true;
}

bool IPAccessControl::SetDenyList(const char* text) {
  IPList fresh;
  if (text) fresh.AddText(text);
  Replace(fresh, false, kSiteDenyText);
  return true;
}

bool IPAccessControl::LoadListFile(const char* path, bool allow) {
  const char* listName = allow ? "Allow List" : "Deny List";
  if (path == nullptr || path[0] == '\0') {
    LogError("%s filename is empty", listName);
    return false;
  }
  if (verbose_) LogMessage("Loading %s from file %s...", listName, path);
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    LogError("Unable to load %s from file %s (error %i)", listName, path, errno);
    return false;
  }
  // Pieces of at most 24 characters: a longer line gives several pieces, each one entry.
  IPList fresh;
  char piece[25];
  while (std::fgets(piece, sizeof(piece), file)) {
    size_t len = std::strlen(piece);
    if (len > 0 && piece[len - 1] == '\n') --len;
    if (len > 0 && piece[len - 1] == '\r') --len;
    if (len > 0) fresh.AddEntry(std::string_view(piece, len));
  }
  std::fclose(file);
  Replace(fresh, allow, kSiteFile);
  return true;
}

bool IPAccessControl::SetOrder(const char* text) {
  if (text == nullptr) return false;
  bool allowDeny;
  if (!strcasecmp(text, "allowdeny") || !strcasecmp(text, "allow,deny") ||
      !strcasecmp(text, "allow, deny"))
    allowDeny = true;
  else if (!strcasecmp(text, "denyallow") || !strcasecmp(text, "deny,allow") ||
           !strcasecmp(text, "deny, allow"))
    allowDeny = false;
  else
    return false;
  SpinRWGuard guard(lock_, kSiteOrder, SpinRWGuard::Write);
  allowDeny_ = allowDeny;
  return true;
}

bool IPAccessControl::AllowDenyOrder() const {
  SpinRWGuard guard(lock_, kSiteCheck, SpinRWGuard::Read);
  return allowDeny_;
}

void IPAccessControl::Print() const {
  SpinRWGuard guard(lock_, kSitePrint, SpinRWGuard::Read);
  PrintList(allow_, true);
  PrintList(deny_, false);
  LogRaw(allowDeny_ ? "Access %s IP Allow-Deny order: Allow,Deny\n"
                    : "Access %s IP Allow-Deny order: Deny,Allow\n",
         "from");
}
