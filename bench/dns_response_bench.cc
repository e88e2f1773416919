// Request parse + response build from an in-memory zone, on one thread, at zone sizes of 10,
// 1,000 and 100,000 records. Each round copies a request datagram into the message buffer, parses
// it and builds the answer over it, as the server does with its receive buffer. The names asked
// are spread over the whole zone (A, AAAA, MX and CNAME answers, a no-data and an unknown name in
// every 16). Prints requests per second for each size (the best of 10 time slices, the sizes
// taking turns) and the ratio of 1,000 to 100,000.
//
//   dns_response_bench [seconds per size, default 2]
#include <sched.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dns/dns_message.h"
#include "dns/zone_file.h"

namespace {

const char kOrigin[] = "bench.example";

// A zone of about `records` records: SOA, NS, then hosts with A records, every 8th with an AAAA,
// every 16th a CNAME to a host, every 32nd an MX.
DomainInfo* BuildZone(int records, std::vector<std::string>* owners) {
  DomainInfo* zone = domain_info_new();
  domain_info_add(zone, dns_record_new_soa("@", 1, 3600, "ns1 hostmaster 1 7200 900 1209600 300", kOrigin));
  domain_info_add(zone, dns_record_new_name("@", DNS_TYPE_NS, 1, 3600, "ns1", kOrigin));
  for (int i = 0; zone->count < records; ++i) {
    std::string host = "host" + std::to_string(i);
    char ip[32];
    std::snprintf(ip, sizeof ip, "10.%d.%d.%d", (i >> 16) & 255, (i >> 8) & 255, i & 255);
    if (i % 16 == 15) {
      std::string target = "host" + std::to_string(i - 1);
      domain_info_add(zone, dns_record_new_name(host.c_str(), DNS_TYPE_CNAME, 1, 300, target.c_str(), kOrigin));
    } else {
      domain_info_add(zone, dns_record_new_a(host.c_str(), 1, 300, ip, kOrigin));
      if (i % 8 == 0 && zone->count < records) {
        char ip6[48];
        std::snprintf(ip6, sizeof ip6, "2001:db8::%x", i);
        domain_info_add(zone, dns_record_new_aaaa(host.c_str(), 1, 300, ip6, kOrigin));
      }
      if (i % 32 == 1 && zone->count < records)
        domain_info_add(zone, dns_record_new_mx(host.c_str(), 1, 300, "10 mail", kOrigin));
    }
    owners->push_back(host + "." + kOrigin);
  }
  return zone;
}

std::vector<uint8_t> MakeQuery(uint16_t id, const std::string& name, uint16_t qtype) {
  std::vector<uint8_t> q = {static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0x01, 0x00,
                            0, 1, 0, 0, 0, 0, 0, 0};
  size_t start = 0;
  while (start <= name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    q.push_back(static_cast<uint8_t>(dot - start));
    q.insert(q.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
    start = dot + 1;
  }
  q.push_back(0);
  q.push_back(static_cast<uint8_t>(qtype >> 8));
  q.push_back(static_cast<uint8_t>(qtype));
  q.push_back(0);
  q.push_back(1);
  return q;
}

// One zone size with its questions, measured slice by slice.
struct Workload {
  int records = 0;
  DomainInfo* zone = nullptr;
  std::vector<std::vector<uint8_t>> queries;
  uint64_t done = 0;
  uint64_t bytes = 0;
  double best = 0;  // requests per second of the best slice
};

void Prepare(Workload* w) {
  std::vector<std::string> owners;
  w->zone = BuildZone(w->records, &owners);
  std::mt19937 rng(12345);
  for (int i = 0; i < 4096; ++i) {
    const std::string& owner = owners[rng() % owners.size()];
    uint16_t id = static_cast<uint16_t>(i);
    switch (i % 16) {
      case 0: w->queries.push_back(MakeQuery(id, "nothere.bench.example", DNS_TYPE_A)); break;
      case 1: w->queries.push_back(MakeQuery(id, owner, DNS_TYPE_TXT)); break;
      case 2: w->queries.push_back(MakeQuery(id, owner, DNS_TYPE_AAAA)); break;
      case 3: w->queries.push_back(MakeQuery(id, owner, DNS_TYPE_MX)); break;
      default: w->queries.push_back(MakeQuery(id, owner, DNS_TYPE_A)); break;
    }
  }
}

// Runs one slice of about `seconds` (and at most 50 million requests).
void RunSlice(Workload* w, double seconds) {
  static uint8_t buffer[kDnsMaxMessage];
  char names[kDnsNameBufferSize];
  const uint64_t maxRounds = 50'000'000;
  uint64_t done = 0;
  auto start = std::chrono::steady_clock::now();
  double elapsed = 0;
  while (elapsed < seconds && done < maxRounds) {
    for (int batch = 0; batch < 16384; ++batch) {
      const std::vector<uint8_t>& q = w->queries[(w->done + done) & 4095];
      std::memcpy(buffer, q.data(), q.size());
      DnsHeader header;
      DnsQuestion question;
      if (dns_parse_request(&header, buffer, q.size(), &question, names) != 0) std::abort();
      int len = dns_make_response(&question, buffer, header.id, header.flags, 0, w->zone);
      if (len <= 0) std::abort();
      w->bytes += static_cast<uint64_t>(len);
      ++done;
    }
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  w->done += done;
  double rate = static_cast<double>(done) / elapsed;
  if (rate > w->best) w->best = rate;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  if (seconds <= 0 || seconds > 60) seconds = 2.0;
  // One core: keep the thread on the CPU it starts on.
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(sched_getcpu(), &set);
  sched_setaffinity(0, sizeof set, &set);

  // The sizes take turns slice by slice, so each sees the same conditions on a shared machine,
  // and each size keeps its best slice: other processes only ever slow a slice down.
  const int kSlices = 10;
  std::vector<Workload> loads(3);
  loads[0].records = 10;
  loads[1].records = 1000;
  loads[2].records = 100000;
  for (auto& w : loads) Prepare(&w);
  std::printf("request parse + response build, one thread, %d slices of %.2f s per zone size\n",
              kSlices, seconds / kSlices);
  for (int slice = 0; slice < kSlices; ++slice)
    for (auto& w : loads) RunSlice(&w, seconds / kSlices);
  for (auto& w : loads) {
    std::printf("zone of %6d records: %10.0f requests/s (%.0f ns each, %llu-byte answers on average)\n",
                w.records, w.best, 1e9 / w.best,
                static_cast<unsigned long long>(w.bytes / (w.done ? w.done : 1)));
    domain_info_free(&w.zone);
  }
  std::printf("1,000 / 100,000 records: %.2fx\n", loads[1].best / loads[2].best);
  return 0;
}
