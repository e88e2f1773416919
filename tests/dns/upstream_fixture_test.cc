// Real upstream answers, captured from nsd on loopback (tests/dns/capture_fixtures.py), parse to
// the records that dnspython read from the same bytes: compressed names, glue in the additional
// section, EDNS, long and multi-string TXT, name errors and empty answers.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "dns/dns_message.h"
#include "dns_test_util.h"

namespace fs = std::filesystem;

namespace {

const fs::path kFixtures = fs::path(TEST_SOURCE_DIR) / "dns" / "fixtures";

std::vector<uint8_t> ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Canonical lines as crosscheck.py prints them. dnspython keeps the EDNS OPT pseudo-record out of
// its sections, so it is left out here too (the header still counts it).
std::vector<std::string> RenderParsed(const DnsHeader& h, const DnsQuestion& q,
                                      const DnsRecord* recs, size_t count) {
  std::vector<std::string> lines;
  char buf[96];
  std::snprintf(buf, sizeof buf, "header %u 0x%04x %u %u %u %u", h.id, h.flags, h.qdcount,
                h.ancount, h.nscount, h.arcount);
  lines.push_back(buf);
  lines.push_back(std::string("question ") + q.name + " " + dns_type_name(q.qtype) + " " +
                  dns_class_name(q.qclass));
  for (size_t i = 0; i < count; ++i) {
    if (recs[i].type == 41) continue;
    const char* tag = i < h.ancount ? "AN " : i < static_cast<size_t>(h.ancount) + h.nscount ? "NS " : "AR ";
    lines.push_back(tag + dnstest::Render(recs[i]));
  }
  return lines;
}

TEST(DnsUpstreamFixtures, ParseLikeDnspython) {
  int checked = 0;
  for (const auto& entry : fs::directory_iterator(kFixtures)) {
    if (entry.path().extension() != ".bin") continue;
    SCOPED_TRACE(entry.path().filename().string());
    std::vector<uint8_t> wire = ReadFile(entry.path());
    fs::path expPath = entry.path();
    expPath.replace_extension(".expected");
    std::ifstream exp(expPath, std::ios::binary);
    std::vector<std::string> expected;
    for (std::string line; std::getline(exp, line);)
      if (!line.empty()) expected.push_back(line);

    DnsHeader h;
    DnsQuestion q;
    DnsRecord recs[64];
    char names[kDnsNameBufferSize];
    size_t count = 64;
    ASSERT_EQ(dns_parse_response(wire.data(), wire.size(), &h, &q, recs, &count, names), 0);
    EXPECT_EQ(RenderParsed(h, q, recs, count), expected);
    // Every text lies inside the name buffer.
    for (size_t i = 0; i < count; ++i) {
      EXPECT_GE(recs[i].name, names);
      EXPECT_LT(recs[i].name, names + sizeof names);
    }
    ++checked;
  }
  EXPECT_GE(checked, 14);
}

TEST(DnsUpstreamFixtures, EveryCutOfAnAnswerFailsCleanly) {
  // Each prefix of a real answer is malformed (or, cut inside the additional EDNS record, still
  // short): the parser must report an error and never read past the cut.
  for (const char* name : {"mx_with_additional", "txt_long", "cname_chain", "soa"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> wire = ReadFile(kFixtures / (std::string(name) + ".bin"));
    for (size_t cut = 0; cut < wire.size(); ++cut) {
      std::vector<uint8_t> part(wire.begin(), wire.begin() + static_cast<long>(cut));
      DnsHeader h;
      DnsQuestion q;
      DnsRecord recs[64];
      char names[kDnsNameBufferSize];
      size_t count = 64;
      int rc = dns_parse_response(part.data(), part.size(), &h, &q, recs, &count, names);
      EXPECT_LT(rc, 0) << "cut at " << cut;
    }
  }
}

}  // namespace
