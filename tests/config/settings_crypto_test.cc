// Encrypted settings lines: the alphabet, the length field, RC4, and whole files with real keys
// made by the openssl command line and lines made by the dnsserver-encrypt tool.
#include "config/settings_crypto.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "config/settings_file.h"
#include "settings_test_support.h"

namespace {

using settings_test::LogCapture;
using settings_test::MakeRsaKeyPair;
using settings_test::ReadFile;
using settings_test::RunCommand;
using settings_test::TempDir;
using settings_test::WriteFile;
using Entries = std::vector<std::pair<std::string, std::string>>;

#ifdef SETTINGS_ENCRYPT_TOOL
const std::string kTool = SETTINGS_ENCRYPT_TOOL;
#else
const std::string kTool = std::string(TEST_BINARY_DIR) + "/../tools/dnsserver-encrypt";
#endif

Entries EntriesOf(const SettingsMap& settings) {
  Entries entries;
  for (const auto& [name, value] : settings) entries.emplace_back(name, value.text);
  return entries;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex.push_back(digits[c >> 4]);
    hex.push_back(digits[c & 15]);
  }
  return hex;
}

TEST(SettingsAlphabet, KnownValues) {
  const std::pair<std::string, std::string> cases[] = {
      {"aAbB", Bytes({0x00, 0x10, 0x83})},  // digits 0 1 2 3
      {"====", Bytes({0xff, 0xff, 0xff})},  // "=" is digit 63, not padding
      {"++++", Bytes({0xfb, 0xef, 0xbe})},  // digit 62
      {"0999", Bytes({0xd3, 0xdf, 0x7d})},  // digits 52 61 61 61
      {"zZ", Bytes({0xcb})},                // two digits give one byte
      {"aAb", Bytes({0x00, 0x10})},         // three digits give two bytes
      {"0", ""},                            // one digit gives no byte
      {"", ""},
  };
  for (const auto& [text, bytes] : cases) {
    std::string out = "stale";
    EXPECT_TRUE(DecodeSettingsAlphabet(text, out)) << text;
    EXPECT_EQ(Hex(out), Hex(bytes)) << text;
    // Whole groups encode back to the same digits; a partial group's unused bits are zero.
    if (text.size() % 4 == 0) {
      EXPECT_EQ(EncodeSettingsAlphabet(bytes), text) << text;
    }
  }
}

TEST(SettingsAlphabet, CharactersOutsideFail) {
  const std::string texts[] = {"aA-b", "aA b", "aAbB/", "aA\n", std::string("aA\0b", 4),
                               "aA\xc3\xa9", "_"};
  for (const std::string& text : texts) {
    std::string out = "stale";
    EXPECT_FALSE(DecodeSettingsAlphabet(text, out)) << text;
    EXPECT_TRUE(out.empty());
  }
}

TEST(SettingsAlphabet, RoundTripOfEveryLength) {
  std::mt19937 random(7);
  for (size_t size = 0; size < 64; ++size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    std::string back;
    ASSERT_TRUE(DecodeSettingsAlphabet(EncodeSettingsAlphabet(bytes), back));
    EXPECT_EQ(Hex(back), Hex(bytes)) << size;
  }
}

TEST(SettingsEncryptedLine, LengthField) {
  struct Case {
    const char* name;
    std::string decoded;
    bool ok;
    std::string key, payload;
  };
  const Case cases[] = {
      {"empty", "", false, "", ""},
      {"one byte", Bytes({1}), false, "", ""},
      {"length zero", Bytes({0, 0, 'a', 'b'}), false, "", ""},
      {"no payload left", Bytes({2, 0, 'a', 'b'}), false, "", ""},
      {"length beyond the data", Bytes({0xff, 0xff, 'a', 'b', 'c'}), false, "", ""},
      {"little-endian length 258", Bytes({2, 1}) + std::string(258, 'k') + "p", true,
       std::string(258, 'k'), "p"},
      {"smallest usable", Bytes({2, 0, 'k', 'k', 'p', 'q'}), true, "kk", "pq"},
  };
  for (const Case& c : cases) {
    EncryptedLineParts parts;
    ASSERT_EQ(SplitEncryptedLine(c.decoded, parts), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(parts.wrappedKey, c.key) << c.name;
      EXPECT_EQ(parts.payload, c.payload) << c.name;
    }
  }
}

TEST(SettingsRc4, KnownKeystreamAndBuiltinAgree) {
  // RC4 keystream for the 40-bit key 0102030405, first 16 bytes (RFC 6229).
  const std::string key = Bytes({1, 2, 3, 4, 5});
  const std::string zeros(16, '\0');
  std::string out;
  ASSERT_TRUE(Rc4Transform(key, zeros, out));
  EXPECT_EQ(Hex(out), "b2396305f03dc027ccc3524a0a1118a8");
  std::string builtin;
  settings_detail::Rc4Builtin(key, zeros, builtin);
  EXPECT_EQ(Hex(builtin), Hex(out));

  // Long keys (only the first 256 bytes count) and long data agree as well.
  std::mt19937 random(11);
  std::string longKey(300, '\0'), data(5000, '\0');
  for (char& c : longKey) c = static_cast<char>(random());
  for (char& c : data) c = static_cast<char>(random());
  ASSERT_TRUE(Rc4Transform(longKey, data, out));
  settings_detail::Rc4Builtin(longKey, data, builtin);
  EXPECT_EQ(Hex(builtin), Hex(out));
  EXPECT_FALSE(Rc4Transform("", data, out));
  // On this platform the library's RC4 is the one in use.
  EXPECT_TRUE(settings_detail::LibraryRc4Available());
}

// A folder with a settings file name and a key pair beside it, made by the openssl command line.
class EncryptedSettings : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    settingsPath_ = dir_.File("dnscfg.ini");
    keyPath_ = dir_.File("dnscfg.key");
    privatePath_ = dir_.File("operator-private.pem");
    MakeRsaKeyPair(privatePath_, keyPath_);
  }

  // Encrypted lines for the plain text, made by the tool.
  std::string Encrypt(const std::string& plain, const std::string& options = "",
                      const std::string& privatePath = "") {
    const std::string input = dir_.File("plain.txt");
    WriteFile(input, plain);
    std::string out;
    EXPECT_EQ(RunCommand("'" + kTool + "' -key '" + (privatePath.empty() ? privatePath_ : privatePath) +
                  "' " + options + " '" + input + "'", &out),
              0);
    return out;
  }

  TempDir dir_;
  std::string settingsPath_, keyPath_, privatePath_;
};

TEST_F(EncryptedSettings, RoundTripThroughTheToolWithPlainAndEncryptedLines) {
  const std::string perLine = Encrypt("DNSHost 10.0.0.1\nSecret = \"quoted\" # kept\r\n\n");
  const std::string joined = Encrypt("<Servers>\none # remark\n\ntwo\n</Servers>\nPassword \"p#w\"",
                                     "-join");
  EXPECT_EQ(std::count(perLine.begin(), perLine.end(), '\n'), 2);
  EXPECT_EQ(std::count(joined.begin(), joined.end(), '\n'), 1);
  WriteFile(settingsPath_, "; comment\nDNSPort 53\n" + perLine + "LogFile = x.log\n" + joined +
                               "<Block>\n" + Encrypt("inside the block") + "after\n</Block>\n");
  LogCapture log(dir_.File("log"));
  SettingsMap settings;
  EXPECT_TRUE(ReadSettingsFile(settingsPath_.c_str(), settings));
  EXPECT_EQ(EntriesOf(settings), (Entries{{"Block", "inside the block\nafter"},
                                          {"DNSHost", "10.0.0.1"},
                                          {"DNSPort", "53"},
                                          {"LogFile", "x.log"},
                                          {"Password", "p#w"},
                                          {"Secret", "\"quoted\" # kept"},
                                          {"Servers", "one\ntwo"}}));
  EXPECT_EQ(log.Text(), "");
}

TEST_F(EncryptedSettings, ToolWithoutTheLegacyProviderUsesTheBuiltinRc4) {
  // Without the provider modules the tool falls back to the built-in RC4; the reader here uses the
  // library's, so the lines only read back if both agree.
  const std::string input = dir_.File("plain.txt");
  WriteFile(input, "DNSHost 10.0.0.2\n<B>\nx\ny\n</B>\n");
  std::string lines;
  ASSERT_EQ(RunCommand("OPENSSL_MODULES=/nonexistent '" + kTool + "' -key '" + privatePath_ + "' '" +
                       input + "'", &lines),
            0);
  WriteFile(settingsPath_, lines);
  SettingsMap settings;
  EXPECT_TRUE(ReadSettingsFile(settingsPath_.c_str(), settings));
  EXPECT_EQ(EntriesOf(settings), (Entries{{"B", "x\ny"}, {"DNSHost", "10.0.0.2"}}));
}

TEST_F(EncryptedSettings, LineMadeWithTheOpensslCommandLineIsRead) {
  // An independent producer: RSA and RC4 from the openssl command line, only the alphabet ours.
  const std::string rc4Key = "0123456789abcdef0123456789abcdef";
  WriteFile(dir_.File("rc4key"), Bytes({0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23,
                                        0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}));
  WriteFile(dir_.File("plain"), "DNSHost 192.0.2.7\nAllowExternalDomains=yes");
  ASSERT_EQ(RunCommand("openssl pkeyutl -sign -inkey '" + privatePath_ + "' -pkeyopt rsa_padding_mode:pkcs1"
                " -in '" + dir_.File("rc4key") + "' -out '" + dir_.File("wrapped") + "'"),
            0);
  ASSERT_EQ(RunCommand("openssl enc -rc4 -provider legacy -provider default -K " + rc4Key +
                " -in '" + dir_.File("plain") + "' -out '" + dir_.File("cipher") + "'"),
            0);
  const std::string wrapped = ReadFile(dir_.File("wrapped"));
  ASSERT_EQ(wrapped.size(), 256u);
  const std::string bytes = Bytes({0x00, 0x01}) + wrapped + ReadFile(dir_.File("cipher"));
  WriteFile(settingsPath_, "#" + EncodeSettingsAlphabet(bytes) + "\nDNSPort 5353\n");

  SettingsMap settings;
  EXPECT_TRUE(ReadSettingsFile(settingsPath_.c_str(), settings));
  EXPECT_EQ(EntriesOf(settings), (Entries{{"AllowExternalDomains", "yes"},
                                          {"DNSHost", "192.0.2.7"},
                                          {"DNSPort", "5353"}}));
}

TEST_F(EncryptedSettings, MalformedEncryptedLinesAreIgnoredSilently) {
  const std::string good = Encrypt("Good 1");
  std::string decoded;
  ASSERT_TRUE(DecodeSettingsAlphabet(good.substr(1, good.size() - 2), decoded));
  std::string longLength = decoded;
  longLength[0] = '\xff';
  longLength[1] = '\xff';
  std::string zeroLength = decoded;
  zeroLength[0] = zeroLength[1] = '\0';
  const std::string lines[] = {
      "#",
      "# a remark written by hand",
      "#aAbB!",
      "#" + EncodeSettingsAlphabet(longLength),
      "#" + EncodeSettingsAlphabet(zeroLength),
      "#" + EncodeSettingsAlphabet(decoded.substr(0, 2 + 256)),  // the key but no text
      "#" + std::string(40000, 'a'),  // overlong: read in pieces
  };
  std::string file;
  for (const std::string& line : lines) file += line + "\n";
  WriteFile(settingsPath_, file + good);
  LogCapture log(dir_.File("log"));
  SettingsMap settings;
  EXPECT_TRUE(ReadSettingsFile(settingsPath_.c_str(), settings));
  EXPECT_EQ(EntriesOf(settings), (Entries{{"Good", "1"}}));
  EXPECT_EQ(log.Text(), "");
}

TEST_F(EncryptedSettings, KeyFailuresStopReadingWithTheirMessage) {
  const std::string encrypted = Encrypt("Hidden 1");
  const std::string ecPrivate = dir_.File("ec.pem");
  ASSERT_EQ(RunCommand("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out '" + ecPrivate +
                "' 2>/dev/null"),
            0);
  const std::string otherPrivate = dir_.File("other.pem"), otherPublic = dir_.File("other.pub");
  MakeRsaKeyPair(otherPrivate, otherPublic);
  const std::string goodKey = ReadFile(keyPath_);

  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string message;  // regular expression
  };
  const Case cases[] = {
      {"key file missing", [&] { std::filesystem::remove(keyPath_); },
       "Unable to read key file " + keyPath_},
      {"no public key in the key file", [&] { WriteFile(keyPath_, "not a key\n"); },
       "Unable to read public key from " + keyPath_},
      {"private key instead of a public one",
       [&] { WriteFile(keyPath_, ReadFile(privatePath_)); },
       "Unable to read public key from " + keyPath_},
      {"not an RSA key",
       [&] {
         ASSERT_EQ(RunCommand("openssl pkey -in '" + ecPrivate + "' -pubout -out '" + keyPath_ + "'"), 0);
       },
       "EVP_PKEY_get1_RSA failed with error [1-9][0-9]*"},
      {"the wrong RSA key", [&] { WriteFile(keyPath_, ReadFile(otherPublic)); },
       "Decrypt failed with error [1-9][0-9]*"},
  };
  for (const Case& c : cases) {
    WriteFile(keyPath_, goodKey);
    c.prepare();
    WriteFile(settingsPath_, "Before 1\n" + encrypted + "After 2\n");
    const std::string logPath = dir_.File("log");
    LogCapture log(logPath);
    SettingsMap settings;
    EXPECT_FALSE(ReadSettingsFile(settingsPath_.c_str(), settings)) << c.name;
    EXPECT_EQ(EntriesOf(settings), (Entries{{"Before", "1"}})) << c.name;
    EXPECT_THAT(log.Text(), testing::MatchesRegex("Error: \\[[0-9/]+ [0-9:]+\\] " + c.message + "\n"))
        << c.name;
  }
}

TEST_F(EncryptedSettings, ToolRejectsBadUse) {
  std::string out;
  EXPECT_NE(RunCommand("'" + kTool + "' 2>/dev/null", &out), 0);
  EXPECT_NE(RunCommand("'" + kTool + "' -key '" + keyPath_ + "' /dev/null 2>/dev/null", &out), 0);
  // A text too long for one line of the settings file.
  WriteFile(dir_.File("long.txt"), "Name " + std::string(13000, 'v') + "\n");
  EXPECT_NE(RunCommand("'" + kTool + "' -key '" + privatePath_ + "' '" + dir_.File("long.txt") +
                "' 2>/dev/null", &out),
            0);
  EXPECT_EQ(out, "");
  // Empty input gives no lines.
  EXPECT_EQ(RunCommand("'" + kTool + "' -key '" + privatePath_ + "' < /dev/null", &out), 0);
  EXPECT_EQ(out, "");
}

}  // namespace
