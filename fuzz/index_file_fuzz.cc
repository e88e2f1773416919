// Fuzz target for the index file reader of the domain directory: the input is the contents of an
// index file. Every line is split on its own (the key and value must lie inside the line), the
// whole text is searched for a few names (the suffix found must lie inside the name, the value
// must fit its buffer), and each value found is joined into a zone path (it must fit 260 bytes).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "dns/dns_cache.h"

namespace {

void CheckInside(const char* part, size_t partLength, const char* whole, size_t wholeLength) {
  if (part < whole || part + partLength > whole + wholeLength) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);

  size_t start = 0;
  while (start < size) {
    const void* nl = std::memchr(text + start, '\n', size - start);
    size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - text) : size;
    dnsdir::IndexLine line;
    if (dnsdir::ParseIndexLine(text + start, end - start, &line)) {
      CheckInside(line.key, line.keyLength, text + start, end - start);
      CheckInside(line.value, line.valueLength, text + start, end - start);
      if (line.keyLength == 0 || line.valueLength == 0) std::abort();
    }
    start = end + 1;
  }

  static const char* const kNames[] = {"mail.example.com", "..Example.NET", "com", "a.b.c.d.e",
                                       "x", ""};
  for (const char* name : kNames) {
    const char* suffix = nullptr;
    char value[kDnsPathSize];
    bool absolute = false;
    int rc = dnsdir::FindIndexEntryText(text, size, name, &suffix, value, sizeof(value), &absolute);
    if (rc != 0) {
      if (rc != DNS_ERR_NO_FILE && rc != DNS_ERR_PATH_LONG) std::abort();
      continue;
    }
    const size_t nameLength = std::strlen(name);
    CheckInside(suffix, std::strlen(suffix), name, nameLength);
    if (std::strlen(value) >= sizeof(value)) std::abort();
    char path[kDnsPathSize];
    static const char* const kDirs[] = {"", "/srv/zones/"};
    for (const char* dir : kDirs) {
      if (dnsdir::BuildIndexedPath(dir, "/etc/dns/zones.idx", value, absolute, path) == 0 &&
          std::strlen(path) >= kDnsPathSize)
        std::abort();
    }
  }
  return 0;
}
