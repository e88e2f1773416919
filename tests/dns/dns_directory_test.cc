// The domain directory: path settings, valid file names, the directory search over a name's
// suffixes, the index file lines and files, with real files in temporary folders.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "dns/dns_cache.h"
#include "dns/zone_file.h"
#include "local_zone_support.h"

using local_zone::TempDir;
using local_zone::ZoneText;

namespace {

// Loads the zone for name; returns the code and, on success, the suffix found and the zone's
// origin and address of "www.<origin>".
struct Loaded {
  int rc;
  std::string suffix;
  std::string origin;
  int count = 0;
};

Loaded Load(DNSDirectory& dir, const std::string& name) {
  const char* cursor = name.c_str();
  DomainInfo* zone = nullptr;
  Loaded out{dir.LoadDomainInfo(&cursor, &zone), "", ""};
  if (out.rc == 0) {
    out.suffix = cursor;
    out.origin = zone->origin;
    out.count = zone->count;
    domain_info_free(&zone);
  } else {
    EXPECT_EQ(zone, nullptr);
    EXPECT_STREQ(cursor, name.c_str());
  }
  return out;
}

TEST(DnsDirectory, SetDirectoryAppendsSeparator) {
  const std::string len258(258, 'd'), len259(259, 'd'), len260(260, 'd');
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    std::string stored;
  } cases[] = {
      {"empty clears", "", true, ""},
      {"slash appended", "/srv/zones", true, "/srv/zones/"},
      {"trailing slash kept", "/srv/zones/", true, "/srv/zones/"},
      {"trailing backslash kept", "zones\\", true, "zones\\"},
      {"no slash at all: still /", "zones", true, "zones/"},
      {"258 characters fit with the separator", len258, true, len258 + "/"},
      {"259 characters leave no room for it", len259, false, ""},
      {"259 characters ending in /", len258 + "/", true, len258 + "/"},
      {"260 characters fail", len260, false, ""},
  };
  for (const auto& c : cases) {
    DNSDirectory dir;
    EXPECT_EQ(dir.SetDirectory(c.text.c_str()), c.ok) << c.name;
    EXPECT_EQ(dir.DirectoryPath(), c.stored) << c.name;
  }
  DNSDirectory dir;
  ASSERT_TRUE(dir.SetDirectory("/a"));
  EXPECT_FALSE(dir.SetDirectory(len259.c_str()));
  EXPECT_EQ(dir.DirectoryPath(), "/a/") << "a refused text leaves the setting as it was";
  ASSERT_TRUE(dir.SetDirectory(""));
  EXPECT_EQ(dir.DirectoryPath(), "");
}

TEST(DnsDirectory, SetIndexFile) {
  DNSDirectory dir;
  const std::string len259(259, 'i'), len260(260, 'i');
  EXPECT_TRUE(dir.SetIndexFile(len259.c_str()));
  EXPECT_EQ(dir.IndexFilePath(), len259);
  EXPECT_FALSE(dir.SetIndexFile(len260.c_str()));
  EXPECT_EQ(dir.IndexFilePath(), len259);
  EXPECT_TRUE(dir.SetIndexFile("zones.idx"));
  EXPECT_EQ(dir.IndexFilePath(), "zones.idx");
  EXPECT_TRUE(dir.SetIndexFile(""));
  EXPECT_EQ(dir.IndexFilePath(), "");
}

TEST(DnsDirectory, ValidFileNames) {
  struct Case {
    const char* name;
    bool valid;
  } cases[] = {
      {"example.com", true},      {"mail.example.com", true}, {"con.example.com", false},
      {"Nul.test", false},        {"com1.test", false},       {"LPT9", false},
      {"lpt1.x", false},          {"com10.test", true},       {"console.test", true},
      {"com0.test", true},        {"comx.test", true},        {"aux", false},
      {"prn.", false},            {"CLOCK$.a", false},        {"a.con", true},
      {"", false},                {".example.com", false},    {".", false},
      {"..", false},              {"../etc", false},          {"a/../../etc", false},
      {"a\\b", false},            {"a:b", false},             {"a|b", false},
      {"a<b", false},             {"a>b", false},             {"a\"b", false},
      {"a b", false},             {"a\tb", false},            {"a\x7f", true},
      {"a\x80", false},           {"a\xff.com", false},       {"*.example.com", true},
      {"x..", true},              {"_srv.example.com", true},
  };
  for (const auto& c : cases) EXPECT_EQ(dnsdir::IsValidFileName(c.name), c.valid) << c.name;
}

TEST(DnsDirectory, SearchesTheSuffixesOfTheName) {
  TempDir tmp;
  tmp.Write("example.com", ZoneText("192.0.2.1"));
  tmp.Write("test", ZoneText("192.0.2.2"));
  tmp.Write("Mixed.Case", ZoneText("192.0.2.3"));
  DNSDirectory dir;
  ASSERT_TRUE(dir.SetDirectory(tmp.Path().c_str()));
  struct Case {
    const char* name;
    int rc;
    const char* suffix;
  } cases[] = {
      {"example.com", 0, "example.com"},
      {"mail.example.com", 0, "example.com"},
      {"a.b.c.example.com", 0, "example.com"},
      {"a.example.com", 0, "example.com"},
      {"co.example.com", 0, "example.com"},
      {"a..example.com", 0, "example.com"},
      {"example.org", DNS_ERR_NO_FILE, nullptr},
      {"com", DNS_ERR_NO_FILE, nullptr},
      // Reserved first labels never reach the directory, whatever files it holds.
      {"con.example.com", DNS_ERR_NO_FILE, nullptr},
      {"Nul.test", DNS_ERR_NO_FILE, nullptr},
      {"com1.test", DNS_ERR_NO_FILE, nullptr},
      {"com10.test", 0, "test"},
      {"console.test", 0, "test"},
      {"Mixed.Case", 0, "Mixed.Case"},
  };
  for (const auto& c : cases) {
    Loaded got = Load(dir, c.name);
    EXPECT_EQ(got.rc, c.rc) << c.name;
    if (c.suffix) {
      EXPECT_EQ(got.suffix, c.suffix) << c.name;
      EXPECT_EQ(got.origin, c.suffix) << c.name << ": the suffix found is the zone's origin";
      EXPECT_EQ(got.count, 7) << c.name;
    }
  }
}

TEST(DnsDirectory, NamesNeverLeaveTheDirectory) {
  TempDir tmp;
  ASSERT_EQ(mkdir((tmp / "zones").c_str(), 0700), 0);
  ASSERT_EQ(mkdir((tmp / "zones/sub").c_str(), 0700), 0);
  tmp.Write("secret", ZoneText("192.0.2.66"));
  tmp.Write("zones/sub/inner", ZoneText("192.0.2.67"));
  ASSERT_EQ(mkfifo((tmp / "zones/fifo.test").c_str(), 0600), 0);
  DNSDirectory dir;
  ASSERT_TRUE(dir.SetDirectory((tmp / "zones").c_str()));
  // A folder or a FIFO under a zone's name is no zone file (and must not block the open).
  for (const char* name : {"..", ".", "../secret", "..secret", "...secret", "x/../../secret",
                           "x..", "x...", "..\\secret", "sub", "sub/inner", "inner.sub",
                           "fifo.test", "a.fifo.test"}) {
    EXPECT_EQ(Load(dir, name).rc, DNS_ERR_NO_FILE) << name;
  }
}

TEST(DnsDirectory, NothingConfigured) {
  DNSDirectory dir;
  EXPECT_EQ(Load(dir, "example.com").rc, DNS_ERR_NO_FILE);
  const char* cursor = nullptr;
  DomainInfo* zone = nullptr;
  EXPECT_EQ(dir.LoadDomainInfo(&cursor, &zone), DNS_ERR_MISSING);
  EXPECT_EQ(dir.LoadDomainInfo(nullptr, &zone), DNS_ERR_MISSING);
}

TEST(DnsDirectory, CandidatePathsOf260CharactersAreNotTried) {
  TempDir tmp;
  // Folder + name of 259 characters fits; one more does not (the next suffix is tried instead).
  std::string folder = tmp.Path() + "/" + std::string(200 - tmp.Path().size(), 'f');
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  const std::string fits(259 - folder.size() - 1, 'n');
  local_zone::WriteFile(folder + "/" + fits, ZoneText("192.0.2.5"));
  local_zone::WriteFile(folder + "/" + "x" + fits, ZoneText("192.0.2.5"));
  DNSDirectory dir;
  ASSERT_TRUE(dir.SetDirectory(folder.c_str()));
  EXPECT_EQ(Load(dir, fits).rc, 0);
  EXPECT_EQ(Load(dir, "x" + fits).rc, DNS_ERR_NO_FILE);
  Loaded viaSuffix = Load(dir, "a.x" + fits + "." + fits);
  EXPECT_EQ(viaSuffix.rc, 0);
  EXPECT_EQ(viaSuffix.suffix, fits);
}

TEST(DnsDirectory, ParseErrorFreesTheZone) {
  TempDir tmp;
  std::string longRecord = "@ IN TXT (\n";
  for (int i = 0; i < 100; ++i) longRecord += "  \"" + std::string(60, 't') + "\"\n";
  tmp.Write("broken.test", longRecord + ")\n");
  DNSDirectory dir;
  ASSERT_TRUE(dir.SetDirectory(tmp.Path().c_str()));
  EXPECT_EQ(Load(dir, "www.broken.test").rc, DNS_ERR_NO_ROOM);
}

TEST(DnsDirectory, IndexLines) {
  struct Case {
    const char* name;
    const char* line;
    bool ok;
    const char* key;
    const char* value;
    bool absolute;
  } cases[] = {
      {"equals", "example.com=zones/a.zone", true, "example.com", "zones/a.zone", false},
      {"comma", "example.com,a.zone", true, "example.com", "a.zone", false},
      {"semicolon", "example.com;a.zone", true, "example.com", "a.zone", false},
      {"blanks around", "  example.com  =  a.zone  ", true, "example.com", "a.zone", false},
      {"tab separated key", "example.com\t;\ta.zone", true, "example.com", "a.zone", false},
      {"value ends at a blank", "k = a.zone trailing words", true, "k", "a.zone", false},
      {"value ends at a comma", "k = a.zone,b.zone", true, "k", "a.zone", false},
      {"quoted with blanks", "k = \"my zones/a b.zone\"", true, "k", "my zones/a b.zone", false},
      {"quoted, backslash kept", "k = \"zones\\example.zone\"", true, "k", "zones\\example.zone",
       false},
      {"quoted must end the line", "k = \"a.zone\" x", false, nullptr, nullptr, false},
      {"unclosed quote", "k = \"a.zone", false, nullptr, nullptr, false},
      {"empty quotes", "k = \"\"", false, nullptr, nullptr, false},
      {"CR LF line end", "k=a.zone\r", true, "k", "a.zone", false},
      {"leading backslashes dropped", "k=\\\\a.zone", true, "k", "a.zone", false},
      {"backslash then slash dropped", "k=\\/etc/x", true, "k", "etc/x", false},
      {"leading slash: complete path", "k=/srv/a.zone", true, "k", "/srv/a.zone", true},
      {"colon: complete path", "k=C:\\zones\\x.zone", true, "k", "C:\\zones\\x.zone", true},
      {"blank then no separator", "k a.zone", false, nullptr, nullptr, false},
      {"no separator", "example.com", false, nullptr, nullptr, false},
      {"separator, no value", "k =   ", false, nullptr, nullptr, false},
      {"only backslashes", "k=\\\\", false, nullptr, nullptr, false},
      {"empty key", "=a.zone", false, nullptr, nullptr, false},
      {"empty line", "", false, nullptr, nullptr, false},
      {"blank line", "  \t ", false, nullptr, nullptr, false},
      {"two separators: value starts at the second", "k==a", true, "k", "=a", false},
  };
  for (const auto& c : cases) {
    dnsdir::IndexLine line;
    bool ok = dnsdir::ParseIndexLine(c.line, std::strlen(c.line), &line);
    ASSERT_EQ(ok, c.ok) << c.name;
    if (!ok) continue;
    EXPECT_EQ(std::string(line.key, line.keyLength), c.key) << c.name;
    EXPECT_EQ(std::string(line.value, line.valueLength), c.value) << c.name;
    EXPECT_EQ(line.absolute, c.absolute) << c.name;
  }
  const char withNul[] = "k=a\0b";
  dnsdir::IndexLine line;
  EXPECT_FALSE(dnsdir::ParseIndexLine(withNul, sizeof(withNul) - 1, &line));
}

TEST(DnsDirectory, IndexTextFirstMatchingLineWins) {
  const std::string text =
      "# not a line: no separator\n"
      "org = org.zone\n"
      "com = com.zone\n"
      "example.com = example.zone\n"
      "EXAMPLE.NET = net.zone\n" +
      std::string(5000, 'x') + " = long.zone\n"  // too long: skipped whole
      "xxxx = after.zone\n";
  struct Case {
    const char* name;
    int rc;
    const char* suffix;
    const char* value;
  } cases[] = {
      {"mail.example.com", 0, "com", "com.zone"},
      {"example.com", 0, "com", "com.zone"},
      {"www.example.net", 0, "example.net", "net.zone"},
      {"..Example.Net", 0, "Example.Net", "net.zone"},
      {"a.xxxx", 0, "xxxx", "after.zone"},
      {"example.info", DNS_ERR_NO_FILE, nullptr, nullptr},
      {"", DNS_ERR_NO_FILE, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const char* suffix = nullptr;
    char value[kDnsPathSize];
    bool absolute = true;
    int rc = dnsdir::FindIndexEntryText(text.data(), text.size(), c.name, &suffix, value,
                                        sizeof(value), &absolute);
    EXPECT_EQ(rc, c.rc) << c.name;
    if (rc != 0) continue;
    EXPECT_STREQ(suffix, c.suffix) << c.name;
    EXPECT_STREQ(value, c.value) << c.name;
    EXPECT_FALSE(absolute) << c.name;
  }
}

TEST(DnsDirectory, IndexedPaths) {
  const std::string dir251 = std::string(250, 'd') + "/";
  struct Case {
    const char* name;
    const char* directory;
    const char* index;
    const char* value;
    bool absolute;
    int rc;
    std::string path;
  } cases[] = {
      {"relative to the directory", "/srv/zones/", "/etc/idx", "a.zone", false, 0,
       "/srv/zones/a.zone"},
      {"relative to the index folder", "", "/etc/dns/zones.idx", "z/a.zone", false, 0,
       "/etc/dns/z/a.zone"},
      {"index folder cut after backslash", "", "C:\\dns\\zones.idx", "a.zone", false, 0,
       "C:\\dns\\a.zone"},
      {"index folder cut after colon", "", "C:zones.idx", "a.zone", false, 0, "C:a.zone"},
      {"index without folder", "", "zones.idx", "a.zone", false, 0, "a.zone"},
      {"complete path ignores both", "/srv/", "/etc/idx", "/var/a.zone", true, 0, "/var/a.zone"},
      {"joined path too long", dir251.c_str(), "", "123456789", false, DNS_ERR_PATH_LONG,
       ""},
      {"joined path of 259 fits", dir251.c_str(), "", "12345678", false, 0,
       dir251 + "12345678"},
  };
  for (const auto& c : cases) {
    char out[kDnsPathSize];
    int rc = dnsdir::BuildIndexedPath(c.directory, c.index, c.value, c.absolute, out);
    EXPECT_EQ(rc, c.rc) << c.name;
    if (rc == 0) {
      EXPECT_EQ(out, c.path) << c.name;
    }
  }
}

TEST(DnsDirectory, IndexFileOnDisk) {
  TempDir tmp;
  TempDir other;
  ASSERT_EQ(mkdir((tmp / "zones").c_str(), 0700), 0);
  tmp.Write("zones/example.zone", ZoneText("192.0.2.10"));
  tmp.Write("zones/com.zone", ZoneText("192.0.2.20"));
  other.Write("net.zone", ZoneText("192.0.2.30"));
  const std::string index = tmp / "zones.idx";
  local_zone::WriteFile(index,
                        "example.com = \"zones/example.zone\"\n"
                        "example.net ; " + (other / "net.zone") + "\n"
                        "example.org = zones/missing.zone\n"
                        "long.test = " + std::string(300, 'l') + "\n"
                        "folder.test = zones\n"
                        "com = zones/com.zone\n");
  DNSDirectory dir;
  ASSERT_TRUE(dir.SetIndexFile(index.c_str()));

  Loaded got = Load(dir, "mail.example.com");
  EXPECT_EQ(got.rc, 0);
  EXPECT_EQ(got.suffix, "example.com") << "relative to the index file's folder";
  EXPECT_EQ(got.origin, "example.com");
  got = Load(dir, "www.example.net");
  EXPECT_EQ(got.rc, 0) << "complete path";
  EXPECT_EQ(got.suffix, "example.net");
  got = Load(dir, "shop.com");
  EXPECT_EQ(got.rc, 0);
  EXPECT_EQ(got.suffix, "com");
  EXPECT_EQ(Load(dir, "example.org").rc, DNS_ERR_OPEN_ENOENT);
  EXPECT_EQ(Load(dir, "long.test").rc, DNS_ERR_PATH_LONG);
  EXPECT_EQ(Load(dir, "folder.test").rc, DNS_ERR_OPEN_OTHER) << "a folder is no zone file";
  EXPECT_EQ(Load(dir, "example.info").rc, DNS_ERR_NO_FILE);
  // Reserved names only matter for the directory search; the index compares text.
  EXPECT_EQ(Load(dir, "con.com").rc, 0);

  // With a directory set, relative values are taken from there instead.
  ASSERT_TRUE(dir.SetDirectory((tmp / "zones").c_str()));
  EXPECT_EQ(Load(dir, "example.com").rc, DNS_ERR_OPEN_ENOENT) << "zones/zones/... missing";
  ASSERT_EQ(mkdir((tmp / "zones/zones").c_str(), 0700), 0);
  tmp.Write("zones/zones/example.zone", ZoneText("192.0.2.11"));
  EXPECT_EQ(Load(dir, "example.com").rc, 0);

  ASSERT_TRUE(dir.SetIndexFile((tmp / "no-such.idx").c_str()));
  EXPECT_EQ(Load(dir, "example.com").rc, DNS_ERR_OPEN_ENOENT);
}

}  // namespace
