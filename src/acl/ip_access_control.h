// Client IP access control: an allow list and a deny list of IPv4 addresses and networks, each
// entry optionally tied to one client source port, and the order that says which list wins.
// Owns both lists and the order; it knows nothing of sockets or settings keys (the settings loader
// calls the setters). IPv6 clients are not its business (the pipeline lets them through).
//
// Safe from several threads: IsAllowed and Print take the SpinRWLock shared; list changes build
// the new list first and swap it in under the exclusive lock, so a check never sees half a list.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "shell/locks.h"

// One list: exact addresses and one map per prefix length 0 to 31, address (host order, host bits
// cleared) -> port (0 = any port).
struct IPList {
  std::unordered_map<uint32_t, uint16_t> exact;
  std::array<std::unordered_map<uint32_t, uint16_t>, 32> networks;
  std::array<bool, 32> networkPresent{};

  void Clear();
  // Adds one entry: address[/prefix][:port], or ":port" for every address. Entries that do not
  // convert (or give 255.255.255.255) are skipped; false then.
  bool AddEntry(std::string_view entry);
  // Entries separated by "," or "\n"; one "\r" before a separator is dropped.
  void AddText(std::string_view text);
  // Exact entry first, then networks by prefix 0 to 31; the port must be 0 or the client's.
  bool Matches(uint32_t hostAddress, uint16_t port) const;
  bool Empty() const;
};

class IPAccessControl {
 public:
  IPAccessControl() = default;
  virtual ~IPAccessControl();
  IPAccessControl(const IPAccessControl&) = delete;
  IPAccessControl& operator=(const IPAccessControl&) = delete;

  // The Log setting: enables the loading message of LoadListFile.
  void SetVerbose(bool on) { verbose_.store(on); }

  // Address in network order, port in host order.
  bool IsAllowed(uint32_t networkAddress, uint16_t port) const;
  // Replace the list from a text; null or empty empties it. Always true.
  bool SetAllowList(const char* text);
  bool SetDenyList(const char* text);
  // Replaces the allow list (allow true) or the deny list from a file read in pieces of at most
  // 24 characters, each piece one entry. "%s filename is empty", "Unable to load %s from file %s
  // (error %i)" (the list unchanged).
  bool LoadListFile(const char* path, bool allow);
  // "allowdeny", "allow,deny", "allow, deny" -> Allow,Deny; "denyallow", "deny,allow",
  // "deny, allow" -> Deny,Allow; any letter case. Anything else: false, order unchanged.
  bool SetOrder(const char* text);
  bool AllowDenyOrder() const;
  // The lists and the order, through LogRaw.
  void Print() const;

 private:
  void Replace(IPList& fresh, bool allow, int32_t site);

  std::atomic<bool> verbose_{false};
  mutable SpinRWLock lock_;
  IPList allow_;
  IPList deny_;
  bool allowDeny_ = false;  // true = Allow,Deny; false = Deny,Allow
};
