// Cross-checks with an independent DNS library: responses built by dns_make_response must parse
// strictly in dnspython with exactly the records intended, and queries that dnspython builds must
// parse here with its name, type, class, id and flags.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "dns/dns_message.h"
#include "dns/zone_file.h"
#include "dns_test_util.h"

namespace fs = std::filesystem;

namespace {

const std::string kScript = std::string(TEST_SOURCE_DIR) + "/dns/crosscheck.py";

// Runs a command, returns its exit status and appends its output to *out.
int RunCommand(const std::string& cmd, std::string* out) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct TempDir {
  fs::path path;
  TempDir() {
    std::string templ = std::string(TEST_BINARY_DIR) + "/dns_crosscheck_XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    path = mkdtemp(buf.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

const char kZone[] = R"($TTL 3600
@        SOA   ns1 hostmaster 2024061101 2h 15m 2w 1h
@        NS    ns1
@        NS    ns2.example.net.
@        MX    10 mail
@        MX    20 mail2.example.net.
ns1      A     192.0.2.53
www      A     192.0.2.1
www      A     192.0.2.2
www      AAAA  2001:db8::1
www      AAAA  ::ffff:192.0.2.1
alias    CNAME www
chain    CNAME alias
mail     A     192.0.2.25
txt      TXT   "hello ; world"
4.2.0.192.in-addr.arpa. PTR www
deep.a.b.c.d A 192.0.2.77
)";

std::string LongText() {
  std::string t;
  for (int i = 0; i < 700; ++i) t += "abcdefghij klmnopqrstuvwxyz=+/\""[i % 31];
  return t;
}

struct Query {
  const char* file;
  const char* name;
  uint16_t qtype;
  int rcode;
  std::vector<std::string> answer;
  std::vector<std::string> authority;
};

TEST(DnsCrossCheck, ResponsesParseInDnspython) {
  dnstest::ZoneHolder z(dnstest::ZoneFromText(kZone, "example.com"));
  const std::string longText = LongText();
  domain_info_add(z.zone, dns_record_new_txt("longtxt", 1, 300, longText.c_str(), "example.com", true));
  for (int i = 0; i < 600; ++i) {
    std::string ip = "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    domain_info_add(z.zone, dns_record_new_a("many", 1, 60, ip.c_str(), "example.com"));
  }
  const std::string soa =
      "example.com 3600 IN SOA ns1.example.com hostmaster.example.com 2024061101 7200 900 1209600 3600";
  std::vector<std::string> many;
  const int fit = (8192 - 12 - 18 - 4) / 16;  // header, question, A records of 16 bytes each
  for (int i = 0; i < fit; ++i)
    many.push_back("AN many.example.com 60 IN A 10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));

  const std::vector<Query> queries = {
      {"a", "www.example.com", 1, 0,
       {"AN www.example.com 3600 IN A 192.0.2.1", "AN www.example.com 3600 IN A 192.0.2.2"}, {}},
      {"aaaa_mixed_case", "WWW.EXAMPLE.COM", 28, 0,
       {"AN WWW.EXAMPLE.COM 3600 IN AAAA 2001:0db8:0000:0000:0000:0000:0000:0001",
        "AN WWW.EXAMPLE.COM 3600 IN AAAA 0000:0000:0000:0000:0000:ffff:c000:0201"},
       {}},
      {"cname_chain", "chain.example.com", 1, 0,
       {"AN chain.example.com 3600 IN CNAME alias.example.com",
        "AN alias.example.com 3600 IN CNAME www.example.com",
        "AN www.example.com 3600 IN A 192.0.2.1", "AN www.example.com 3600 IN A 192.0.2.2"},
       {}},
      {"mx", "example.com", 15, 0,
       {"AN example.com 3600 IN MX 10 mail.example.com",
        "AN example.com 3600 IN MX 20 mail2.example.net"},
       {}},
      {"ns", "example.com", 2, 0,
       {"AN example.com 3600 IN NS ns1.example.com", "AN example.com 3600 IN NS ns2.example.net"}, {}},
      {"soa", "example.com", 6, 0, {"AN " + soa}, {}},
      {"nodata", "www.example.com", 15, 0, {}, {"NS " + soa}},
      {"nxdomain", "nothere.example.com", 1, 3, {}, {}},
      {"ptr", "4.2.0.192.in-addr.arpa", 12, 0,
       {"AN 4.2.0.192.in-addr.arpa 3600 IN PTR www.example.com"}, {}},
      {"txt", "txt.example.com", 16, 0, {"AN txt.example.com 3600 IN TXT hello ; world"}, {}},
      {"long_txt", "longtxt.example.com", 16, 0, {"AN longtxt.example.com 300 IN TXT " + longText}, {}},
      {"truncated", "many.example.com", 1, 0, many, {}},
      {"deep", "deep.a.b.c.d.example.com", 1, 0, {"AN deep.a.b.c.d.example.com 3600 IN A 192.0.2.77"}, {}},
      {"refused", "www.example.com", 1, 5, {}, {}},
  };
  TempDir dir;
  for (const auto& q : queries) {
    uint8_t msg[kDnsMaxMessage];
    std::string name = q.name;
    DnsQuestion question{name.data(), q.qtype, 1};
    int len = dns_make_response(&question, msg, 0x5151, 0x0100, q.rcode == 5 ? 5 : 0, z.zone);
    ASSERT_GT(len, 0) << q.file;
    std::ofstream(dir.path / (std::string(q.file) + ".bin"), std::ios::binary)
        .write(reinterpret_cast<const char*>(msg), len);
    std::ofstream exp(dir.path / (std::string(q.file) + ".expected"), std::ios::binary);
    char header[96];
    std::snprintf(header, sizeof header, "header %u 0x%04x 1 %zu %zu 0", 0x5151u, 0x8100u | q.rcode,
                  q.answer.size(), q.authority.size());
    exp << header << "\n";
    exp << "question " << q.name << " " << dns_type_name(q.qtype) << " IN\n";
    for (const auto& l : q.answer) exp << l << "\n";
    for (const auto& l : q.authority) exp << l << "\n";
  }
  std::string out;
  EXPECT_EQ(RunCommand("/usr/bin/python3 " + kScript + " check " + dir.path.string(), &out), 0) << out;
  EXPECT_NE(out.find("checked 14 messages, 0 failures"), std::string::npos) << out;
}

TEST(DnsCrossCheck, DnspythonQueriesParse) {
  TempDir dir;
  std::string out;
  ASSERT_EQ(RunCommand("/usr/bin/python3 " + kScript + " queries " + dir.path.string(), &out), 0) << out;
  int seen = 0;
  for (const auto& entry : fs::directory_iterator(dir.path)) {
    if (entry.path().extension() != ".bin") continue;
    ++seen;
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream in(entry.path(), std::ios::binary);
    std::string wire((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::path txt = entry.path();
    txt.replace_extension(".txt");
    std::ifstream t(txt);
    std::string name;
    unsigned qtype, qclass, id, flags;
    t >> name >> qtype >> qclass >> id >> flags;
    if (name == ".") name.clear();  // the root
    DnsHeader h;
    DnsQuestion q;
    char names[kDnsNameBufferSize];
    ASSERT_EQ(dns_parse_request(&h, reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), &q, names), 0);
    EXPECT_EQ(h.id, id);
    EXPECT_EQ(h.flags, flags);
    EXPECT_EQ(q.qtype, qtype);
    EXPECT_EQ(q.qclass, qclass);
    EXPECT_STREQ(q.name, name.c_str());
  }
  EXPECT_EQ(seen, 10);
}

}  // namespace
