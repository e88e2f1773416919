// Answers per second from the domain info cache (MakeResponseFromCache) for a zone of 100,000
// records and for one of 10, with a cache that also holds a thousand other zones, for names that
// exist (A answers) and names that do not (rcode 3). For comparison: answers per second from a
// zone file (MakeResponseFromFile with DNSCacheTTL 0, the file read for every query) for the
// 10-record zone, and the time to read the 100,000-record zone from its file once.
//
// Usage: zone_cache_bench [seconds per figure, default 1]
// Every loop is bounded by a count and by time.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "dns/dns_cache.h"
#include "dns/zone_file.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string ZoneText(int hosts) {
  std::string text =
      "$TTL 300\n@ IN SOA ns1 admin 1 3600 900 604800 300\n@ IN NS ns1\nns1 IN A 192.0.2.53\n";
  char line[96];
  for (int i = 0; i < hosts - 3; ++i) {
    std::snprintf(line, sizeof(line), "h%d IN A 10.%d.%d.%d\n", i, (i >> 16) & 255, (i >> 8) & 255,
                  i & 255);
    text += line;
  }
  return text;
}

DomainInfo* Zone(const std::string& origin, int records) {
  DomainInfo* zone = domain_info_new();
  std::string text = ZoneText(records);
  domain_info_parse_text(zone, text.data(), text.size(), origin.c_str());
  return zone;
}

struct Figure {
  double perSecond;
  long long answers;
  long long failures;
};

// Runs answer(name) over the names, round robin, for about `seconds` (at most 50 million calls).
template <class Answer>
Figure Measure(const std::vector<std::string>& names, double seconds, Answer answer) {
  const auto start = Clock::now();
  const auto limit = start + std::chrono::duration<double>(seconds);
  long long done = 0, failures = 0;
  size_t next = 0;
  while (done < 50000000LL) {
    for (int i = 0; i < 256; ++i) {
      if (answer(names[next]) <= 0) ++failures;
      if (++next == names.size()) next = 0;
      ++done;
    }
    if (Clock::now() >= limit) break;
  }
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return {done / elapsed, done, failures};
}

std::vector<std::string> Names(const char* origin, int hosts, bool existing) {
  std::vector<std::string> names;
  for (int i = 0; i < 4096; ++i) {
    int h = static_cast<int>((static_cast<unsigned>(i) * 2654435761u) % static_cast<unsigned>(hosts));
    names.push_back((existing ? "h" : "none") + std::to_string(h) + "." + origin);
  }
  return names;
}

void Print(const char* what, const Figure& f) {
  std::printf("%-58s %12.0f answers/s  %8.3f us/answer  (%lld answers, %lld failed)\n", what,
              f.perSecond, 1e6 / f.perSecond, f.answers, f.failures);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
  DNSCache cache;
  cache.SetTTL(3600);
  for (int i = 0; i < 1000; ++i) {
    std::string origin = "other" + std::to_string(i) + ".test";
    CacheDomainInfo(origin.c_str(), &cache, Zone(origin, 10), false);
  }
  DomainInfo* big = Zone("big.test", 100000);
  std::printf("zone big.test: %d records; zone small.test: 10 records; 1000 other zones cached\n",
              big->count);
  CacheDomainInfo("big.test", &cache, big, false);
  CacheDomainInfo("small.test", &cache, Zone("small.test", 10), false);

  static uint8_t message[kDnsMaxMessage];
  auto fromCache = [&](const std::string& name) {
    DnsQuestion q{const_cast<char*>(name.c_str()), DNS_TYPE_A, DNS_CLASS_IN};
    return MakeResponseFromCache(&q, &cache, message, 0x1234, 0x0100);
  };
  Print("cache, 100,000-record zone, existing names",
        Measure(Names("big.test", 99997, true), seconds, fromCache));
  Print("cache, 100,000-record zone, names that do not exist",
        Measure(Names("big.test", 99997, false), seconds, fromCache));
  Print("cache, 10-record zone, existing names",
        Measure(Names("small.test", 7, true), seconds, fromCache));
  Print("cache, 10-record zone, names that do not exist",
        Measure(Names("small.test", 7, false), seconds, fromCache));
  Print("cache, name under no cached zone (miss: 0)",
        Measure(std::vector<std::string>{"www.example.org"}, seconds,
                [&](const std::string& n) { return fromCache(n) == 0 ? 1 : 0; }));

  // The files: a folder holding both zones, read through the directory.
  char folder[] = "/tmp/dnsserver-zonebench-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  const std::string dir = folder;
  for (auto [name, records] : {std::pair<const char*, int>{"small.file", 10}, {"big.file", 100000}}) {
    FILE* f = std::fopen((dir + "/" + name).c_str(), "w");
    std::string text = ZoneText(records);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  DNSCache files;
  files.SetTTL(0);
  files.Directory().SetDirectory(dir.c_str());
  auto fromFile = [&](const std::string& name) {
    DnsQuestion q{const_cast<char*>(name.c_str()), DNS_TYPE_A, DNS_CLASS_IN};
    return MakeResponseFromFile(&q, &files, message, 0x1234, 0x0100);
  };
  Print("file (TTL 0: read every query), 10-record zone",
        Measure(Names("small.file", 7, true), seconds, fromFile));
  const auto start = Clock::now();
  int rc = fromFile("h5.big.file");
  std::printf("%-58s %12.1f ms (response length %d)\n", "file, 100,000-record zone read once",
              std::chrono::duration<double, std::milli>(Clock::now() - start).count(), rc);

  unlink((dir + "/small.file").c_str());
  unlink((dir + "/big.file").c_str());
  rmdir(folder);
  return 0;
}
