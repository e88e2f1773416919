// IP list entries and texts: the input as a list text, and as the 24-character pieces of a list
// file, then checks of addresses taken from the input under both orders.
#include <cstdint>
#include <cstring>
#include <string>

#include "acl/ip_access_control.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  IPList list;
  list.AddText(text);
  IPList pieces;
  for (size_t at = 0; at < text.size(); at += 24) pieces.AddEntry(std::string_view(text).substr(at, 24));

  IPAccessControl control;
  control.SetAllowList(text.c_str());
  control.SetDenyList(text.substr(size / 2).c_str());
  for (size_t at = 0; at + 6 <= size; at += 6) {
    uint32_t address;
    uint16_t port;
    std::memcpy(&address, data + at, 4);
    std::memcpy(&port, data + at + 4, 2);
    list.Matches(address, port);
    pieces.Matches(address, port);
    control.SetOrder((at / 6) % 2 ? "AllowDeny" : "DenyAllow");
    control.IsAllowed(address, port);
  }
  return 0;
}
