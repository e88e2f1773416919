// Domain list documents (settings text, URL bodies, list files): cut into items, or into lines, in
// pieces of a size taken from the input, built into sets, then every line of the input is looked
// up. A set must not depend on where the pieces were cut, and every stored name is found again.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "acl/domain_name_set.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t piece = 1 + data[0] % 97;
  const char* doc = reinterpret_cast<const char*>(data + 1);
  size_t len = size - 1;

  DomainNameSet whole, cut;
  DomainItemReader a(&whole), b(&cut);
  a.Feed(doc, len);
  a.Finish();
  for (size_t at = 0; at < len; at += piece) b.Feed(doc + at, len - at < piece ? len - at : piece);
  b.Finish();
  if (whole.Size() != cut.Size() || a.Accepted() != b.Accepted()) std::abort();

  DomainNameSet fileWhole, fileCut;
  DomainLineReader c(&fileWhole), d(&fileCut);
  c.Feed(doc, len);
  c.Finish();
  for (size_t at = 0; at < len; at += piece) d.Feed(doc + at, len - at < piece ? len - at : piece);
  d.Finish();
  if (fileWhole.Size() != fileCut.Size()) std::abort();
  fileWhole.ForEach([&](std::string_view name) {
    if (!fileCut.Contains(name) || name.find('\n') != std::string_view::npos) std::abort();
  });

  whole.ForEach([&](std::string_view name) {
    if (!cut.Contains(name)) std::abort();
    std::string query(name);
    if (query.find('\0') == std::string::npos && !whole.MatchesNameOrParent(query.c_str()) &&
        !query.empty() && query.back() != '.')
      std::abort();
  });
  // Every line of the document as a query name (NUL-terminated copies, any length).
  std::string text(doc, len);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string q = text.substr(start, end - start);
    whole.MatchesNameOrParent(q.c_str());
    start = end + 1;
  }
  return 0;
}
