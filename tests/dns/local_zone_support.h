// Helpers of the domain directory and zone cache tests: temporary folders with real zone files,
// the log written to a file, and responses read back with the codec into comparable text.
#pragma once

#include <arpa/inet.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dns/dns_message.h"
#include "shell/log.h"
#include "../test_files.h"

namespace local_zone {

inline std::string MakeTempDir() { return test_files::MakeTempDir("dnsserver-zones-"); }
using test_files::ReadFile;
using test_files::WriteFile;

// A temporary folder removed with everything in it when the object ends.
class TempDir {
 public:
  TempDir() : path_(MakeTempDir()) {}
  ~TempDir() {
    if (path_.size() > 5 && path_.rfind("/tmp/", 0) == 0)
      std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  void Write(const std::string& name, const std::string& content) const {
    WriteFile(path_ + "/" + name, content);
  }

 private:
  std::string path_;
};

// The process log goes to a file while the capture lives.
class LogCapture {
 public:
  LogCapture() : path_(dir_ / "log.txt") { StartLogAndWinsock(path_.c_str()); }
  ~LogCapture() { StopLogAndWinsock(); }
  std::string Text() const { return ReadFile(path_); }

 private:
  TempDir dir_;
  std::string path_;
};

// A zone file for origin-relative names; `address` is the A record of mail, www and the apex.
inline std::string ZoneText(const std::string& address) {
  return "$TTL 300\n"
         "@     IN SOA ns1 admin 1 3600 900 604800 300\n"
         "@     IN NS  ns1\n"
         "@     IN A   " + address + "\n"
         "ns1   IN A   192.0.2.53\n"
         "www   IN A   " + address + "\n"
         "mail  IN A   " + address + "\n"
         "ftp   IN CNAME www\n";
}

// A question over its own name buffer.
struct Question {
  explicit Question(const std::string& text, uint16_t type = DNS_TYPE_A) {
    std::snprintf(name, sizeof(name), "%s", text.c_str());
    q.name = name;
    q.qtype = type;
    q.qclass = DNS_CLASS_IN;
  }
  char name[256];
  DnsQuestion q;
};

// A response read back with the codec: its rcode and every record as "owner TYPE data".
struct Reply {
  int rc = 0;  // dns_parse_response's result
  int rcode = -1;
  uint16_t id = 0;
  std::vector<std::string> records;
};

inline Reply ReadReply(const uint8_t* msg, int length) {
  Reply out;
  if (length <= 0) {
    out.rc = length;
    return out;
  }
  DnsHeader header;
  DnsQuestion question;
  DnsRecord records[64];
  size_t capacity = 64;
  static thread_local char names[kDnsNameBufferSize];
  out.rc = dns_parse_response(msg, static_cast<size_t>(length), &header, &question, records,
                              &capacity, names);
  if (out.rc != 0) return out;
  out.id = header.id;
  out.rcode = header.flags & 0xF;
  for (size_t i = 0; i < capacity; ++i) {
    const DnsRecord& r = records[i];
    std::string data;
    char text[64];
    switch (r.type) {
      case DNS_TYPE_A:
        inet_ntop(AF_INET, r.ip4, text, sizeof(text));
        data = text;
        break;
      case DNS_TYPE_CNAME:
      case DNS_TYPE_NS:
        data = r.str;
        break;
      case DNS_TYPE_SOA:
        data = std::string(r.soa->mname) + " " + r.soa->rname;
        break;
      default:
        data = "?";
    }
    out.records.push_back(std::string(r.name) + " " + dns_type_name(r.type) + " " + data);
  }
  return out;
}

}  // namespace local_zone
