// Address records and socket addresses as text, and host name resolution. Two shapes of address
// occur: the address record (16 address bytes in network order, IPv4 in the first 4, then the
// family), used by the settings and the IP lists; and the socket address (sockaddr_in or
// sockaddr_in6), used with the sockets. IPv4 255.255.255.255 stands for "no address".
// Pure functions (ResolveHostAddress asks the system resolver); safe from any thread.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

struct AddressRecord {
  uint8_t addr[16];
  uint16_t family;  // AF_INET or AF_INET6
};

// Longest text AddressToText writes, brackets and terminator included.
constexpr size_t kAddressTextSize = 48;

// IPv4: dotted decimal. IPv6: lower-case groups without leading zeros, "::" for the first run of
// at least three zero groups that starts at group 0 to 5. With brackets the text is in "[...]".
// Returns 0, EAFNOSUPPORT for another family, or EINVAL without address bytes or room.
int AddressToText(int family, const void* addressBytes, char* text, size_t textSize, bool brackets);
// AddressToText of a socket address; brackets for IPv6, none for IPv4. False for other families.
bool SockaddrToText(const sockaddr* address, char* text, size_t textSize);
// IPv6 when the text starts with "[" or holds ":" and no "."; else IPv4. At most 64 characters.
// On failure the record becomes the none address (IPv4 255.255.255.255) and the result is false.
bool TextToAddress(const char* text, AddressRecord* record);
// True for IPv4 255.255.255.255.
bool IsNoneAddress(const sockaddr* address);
bool IsNoneAddress(const AddressRecord& record);
// True for IPv4 0.0.0.0 or the IPv6 unspecified address.
bool IsAnyAddress(const AddressRecord& record);
bool IsAnyAddress(const sockaddr* address);
// 127.0.0.1 or ::1; false for another family.
bool SetLoopback(AddressRecord* record, int family);
// Sets the record to the none address.
void SetNoneAddress(AddressRecord* record);
// Sets the record to the unspecified address of the family.
void SetAnyAddress(AddressRecord* record, int family);
// getaddrinfo: the first address of the wanted family, failing that the first of the other family.
bool ResolveHostAddress(const char* host, AddressRecord* record, int family);
// sizeof(sockaddr_in) for IPv4, sizeof(sockaddr_in6) for IPv6, 0 otherwise.
int AddressLength(const sockaddr* address);
// Builds a socket address from a record and a port in host order; returns its length (0 on error).
int RecordToSockaddr(const AddressRecord& record, uint16_t port, sockaddr_storage* out);
// The record of a socket address (family and address bytes; the port is dropped).
bool SockaddrToRecord(const sockaddr* address, AddressRecord* record);
