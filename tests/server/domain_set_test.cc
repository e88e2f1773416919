#include "server/domain_set.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DomainSet, EntriesMatchTheirNameAndNamesBelow) {
  DomainSet set;
  set.Parse("Example.COM,.dot.test\r\nwith space.test,,x");
  struct {
    const char* name;
    bool found;
  } cases[] = {
      {"example.com", true},       {"EXAMPLE.com.", true},  {"www.example.com", true},
      {"notexample.com", false},   {"dot.test", false},     {"a.dot.test", true},
      {"with space.test", true},   {"x", true},             {"a.b.x", true},
      {"com", false},              {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(set.Find(c.name), c.found) << c.name;
  EXPECT_EQ(set.Size(), 4u);
  set.Parse("other.test");
  EXPECT_FALSE(set.Find("example.com")) << "a new text replaces the set";
}

TEST(DomainSet, NamesOfUpTo255Characters) {
  std::string name255(251, 'a');
  name255 += ".com";
  ASSERT_EQ(name255.size(), 255u);
  DomainSet set;
  set.Parse((name255 + "," + name255 + "x").c_str());
  EXPECT_EQ(set.Size(), 1u);
  EXPECT_TRUE(set.Find(name255.c_str()));
}

TEST(DecodeIPCode, RoundTripsAndRefusesBadCodes) {
  const uint8_t addr[4] = {192, 0, 2, 77};
  char code[11];
  EncodeIPCode(addr, 0x5a, code);
  char out[32];
  ASSERT_TRUE(DecodeIPCode((std::string(code) + ".decode.test").c_str(), out, sizeof(out)));
  EXPECT_STREQ(out, "(192.0.2.77)");
  // The 8-character form has mask 0.
  EncodeIPCode(addr, 0, code);
  std::string eight(code, 8);
  ASSERT_TRUE(DecodeIPCode((eight + ".decode.test").c_str(), out, sizeof(out)));
  EXPECT_STREQ(out, "(192.0.2.77)");
  ASSERT_TRUE(DecodeIPCode(eight.c_str(), out, sizeof(out)));
  EXPECT_FALSE(DecodeIPCode("short.decode.test", out, sizeof(out)));
  EXPECT_FALSE(DecodeIPCode("ABCDEFGH.decode.test", out, sizeof(out))) << "upper case is outside the alphabet";
  EXPECT_FALSE(DecodeIPCode("", out, sizeof(out)));
}

}  // namespace
