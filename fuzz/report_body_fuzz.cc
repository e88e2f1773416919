// Report URL bodies: read in pieces of a size taken from the input. The candidate is never longer
// than an item may be, and apart from the HTML-page check (first piece only) it does not depend on
// where the pieces were cut.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "acl/report_urls.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t piece = 1 + data[0] % 200;
  const char* body = reinterpret_cast<const char*>(data + 1);
  size_t len = size - 1;

  ReportBodyReader whole, cut;
  whole.Feed(body, len);
  whole.Finish();
  for (size_t at = 0; at < len; at += piece) cut.Feed(body + at, len - at < piece ? len - at : piece);
  cut.Finish();
  if (whole.Candidate().size() > ReportBodyReader::kMaxItem) std::abort();
  if (whole.state() != ReportBodyReader::kHtmlPage && cut.state() != ReportBodyReader::kHtmlPage &&
      (whole.state() != cut.state() || whole.Candidate() != cut.Candidate()))
    std::abort();
  return 0;
}
