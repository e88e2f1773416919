// The line reader of the zone-file and index-file parsers: lines from an open file or from text in
// memory (fuzz targets and tests), each into a fixed buffer, bounds checked here. A line that does
// not fit is read to its end and reported as too long, so the parsers skip it whole and its tail is
// never taken for a line of its own. No state beyond the source; one reader per parse.
#pragma once

#include <cstddef>
#include <cstdio>

struct LineSource {
  FILE* file = nullptr;
  const char* data = nullptr;
  size_t size = 0;
  size_t pos = 0;

  int Get() {
    if (file) return getc_unlocked(file);
    return pos < size ? static_cast<unsigned char>(data[pos++]) : EOF;
  }
};

enum class LineResult { kEnd, kLine, kTooLong };

// Reads one line (its line feed dropped) into buf, which has room for cap - 1 characters and the
// terminator; *len is the length kept.
inline LineResult ReadLine(LineSource& src, char* buf, size_t cap, size_t* len) {
  size_t n = 0;
  bool any = false, tooLong = false;
  for (;;) {
    int c = src.Get();
    if (c == EOF) break;
    any = true;
    if (c == '\n') break;
    if (n + 1 < cap) {
      buf[n++] = static_cast<char>(c);
    } else {
      tooLong = true;
    }
  }
  buf[n] = '\0';
  *len = n;
  if (!any) return LineResult::kEnd;
  return tooLong ? LineResult::kTooLong : LineResult::kLine;
}
