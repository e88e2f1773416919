// The domain directory: finding the zone file for a queried name (directory search or index
// file) and reading it into a new zone.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "dns/dns_cache.h"
#include "dns/line_reader.h"
#include "dns/zone_file.h"

namespace {

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
inline bool IsSeparator(char c) { return c == ',' || c == ';' || c == '='; }
inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualNoCase(const char* a, const char* b, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

const char* SkipDots(const char* p) {
  while (*p == '.') ++p;
  return p;
}

// The next shorter suffix: the text after the next '.', further dots skipped; null when none
// is left.
const char* NextSuffix(const char* p) {
  const char* dot = std::strchr(p, '.');
  if (!dot) return nullptr;
  p = SkipDots(dot);
  return *p ? p : nullptr;
}

// Copies text into a path buffer; false when it does not fit below 260 characters.
bool CopyPath(char* out, const char* text) {
  size_t n = std::strlen(text);
  if (n >= kDnsPathSize) return false;
  std::memcpy(out, text, n + 1);
  return true;
}

int OpenErrorCode(int err) {
  switch (err) {
    case 2: return DNS_ERR_OPEN_ENOENT;
    case 3: return DNS_ERR_OPEN_ESRCH;
    case 4: return DNS_ERR_OPEN_EINTR;
    case 5: return DNS_ERR_OPEN_EIO;
    default: return DNS_ERR_OPEN_OTHER;
  }
}

// Opens a zone or index file for reading. Only regular files are read: a folder or a FIFO under
// a zone's name must neither answer as an empty zone nor block the packet thread in open(2).
int OpenForReading(const char* path, FILE** out) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return OpenErrorCode(errno);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return DNS_ERR_OPEN_OTHER;
  }
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* file = fdopen(fd, "r");
  if (!file) {
    int err = errno;
    close(fd);
    return OpenErrorCode(err);
  }
  *out = file;
  return 0;
}

bool IsRegularFile(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// The suffix of name (longest first) that equals key, or null.
const char* MatchSuffix(const char* name, const char* key, size_t keyLength) {
  for (const char* s = SkipDots(name); s && *s; s = NextSuffix(s)) {
    size_t n = std::strlen(s);
    if (n == keyLength && EqualNoCase(s, key, n)) return s;
  }
  return nullptr;
}

int FindIndexEntry(LineSource& src, const char* name, const char** suffix, char* value,
                   size_t valueSize, bool* absolute) {
  char line[kDnsIndexLineSize];
  for (;;) {
    size_t len;
    LineResult r = ReadLine(src, line, sizeof(line), &len);
    if (r == LineResult::kEnd) return DNS_ERR_NO_FILE;
    if (r == LineResult::kTooLong) continue;
    dnsdir::IndexLine entry;
    if (!dnsdir::ParseIndexLine(line, len, &entry)) continue;
    const char* match = MatchSuffix(name, entry.key, entry.keyLength);
    if (!match) continue;
    // The first matching line decides, even when its value cannot be used as a path.
    if (entry.valueLength >= valueSize) return DNS_ERR_PATH_LONG;
    std::memcpy(value, entry.value, entry.valueLength);
    value[entry.valueLength] = '\0';
    *absolute = entry.absolute;
    *suffix = match;
    return 0;
  }
}

}  // namespace

namespace dnsdir {

bool IsValidFileName(const char* name) {
  if (!name || !*name) return false;
  size_t firstLabel = 0;
  bool inFirst = true;
  for (const char* p = name; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c <= 32 || c > 127) return false;
    if (std::strchr("<>:\"/\\|", c)) return false;
    if (c == '.') inFirst = false;
    if (inFirst) ++firstLabel;
  }
  if (firstLabel == 0) return false;
  static const char* const kReserved[] = {"CON", "PRN", "AUX", "CLOCK$", "NUL"};
  for (const char* r : kReserved)
    if (std::strlen(r) == firstLabel && EqualNoCase(name, r, firstLabel)) return false;
  if (firstLabel == 4 && (EqualNoCase(name, "COM", 3) || EqualNoCase(name, "LPT", 3)) &&
      name[3] >= '1' && name[3] <= '9')
    return false;
  return true;
}

// Every bound of an index line is checked here, against length.
bool ParseIndexLine(const char* line, size_t length, IndexLine* out) {
  if (!line || !out) return false;
  if (std::memchr(line, '\0', length)) return false;
  size_t end = length;
  while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) --end;
  while (end > 0 && IsBlank(line[end - 1])) --end;
  size_t p = 0;
  while (p < end && IsBlank(line[p])) ++p;
  if (p == end) return false;

  const size_t keyStart = p;
  while (p < end && !IsSeparator(line[p]) && !IsBlank(line[p])) ++p;
  const size_t keyLength = p - keyStart;
  if (p == end || keyLength == 0) return false;
  if (IsBlank(line[p])) {
    while (p < end && IsBlank(line[p])) ++p;
    if (p == end || !IsSeparator(line[p])) return false;
  }
  ++p;  // the separator
  while (p < end && IsBlank(line[p])) ++p;
  if (p == end) return false;

  size_t valueStart, valueEnd;
  if (line[p] == '"') {
    valueStart = p + 1;
    const void* close = std::memchr(line + valueStart, '"', end - valueStart);
    if (!close) return false;
    valueEnd = static_cast<size_t>(static_cast<const char*>(close) - line);
    if (valueEnd + 1 != end) return false;  // the quoted text must end the line
  } else {
    valueStart = p;
    while (p < end && line[p] != ',' && line[p] != ';' && !IsBlank(line[p])) ++p;
    valueEnd = p;
  }
  // A value beginning with "/" is a complete path on this system; other leading "\" and "/"
  // characters are dropped.
  const bool rooted = valueStart < valueEnd && line[valueStart] == '/';
  if (!rooted)
    while (valueStart < valueEnd && (line[valueStart] == '\\' || line[valueStart] == '/'))
      ++valueStart;
  if (valueStart == valueEnd) return false;

  out->key = line + keyStart;
  out->keyLength = keyLength;
  out->value = line + valueStart;
  out->valueLength = valueEnd - valueStart;
  out->absolute = rooted || std::memchr(out->value, ':', out->valueLength) != nullptr;
  return true;
}

int FindIndexEntryText(const char* data, size_t size, const char* name, const char** suffix,
                       char* value, size_t valueSize, bool* absolute) {
  if (!name || !suffix || !value || valueSize == 0 || !absolute) return DNS_ERR_MISSING;
  LineSource src;
  src.data = data;
  src.size = data ? size : 0;
  return FindIndexEntry(src, name, suffix, value, valueSize, absolute);
}

int BuildIndexedPath(const char* directory, const char* indexFile, const char* value,
                     bool absolute, char* out) {
  const size_t valueLength = std::strlen(value);
  size_t baseLength = 0;
  const char* base = "";
  if (!absolute) {
    if (directory && *directory) {
      base = directory;
      baseLength = std::strlen(directory);
    } else if (indexFile) {
      // The folder of the index file: its path cut after the last "/", "\" or ":".
      base = indexFile;
      for (size_t i = std::strlen(indexFile); i > 0; --i) {
        char c = indexFile[i - 1];
        if (c == '/' || c == '\\' || c == ':') {
          baseLength = i;
          break;
        }
      }
    }
  }
  if (baseLength + valueLength >= kDnsPathSize) return DNS_ERR_PATH_LONG;
  std::memcpy(out, base, baseLength);
  std::memcpy(out + baseLength, value, valueLength + 1);
  return 0;
}

}  // namespace dnsdir

DNSDirectory::DNSDirectory() {
  directory_[0] = '\0';
  indexFile_[0] = '\0';
}

DNSDirectory::~DNSDirectory() = default;

bool DNSDirectory::SetDirectory(const char* text) {
  if (!text) text = "";
  size_t n = std::strlen(text);
  if (n >= kDnsPathSize) return false;
  char path[kDnsPathSize + 1];
  std::memcpy(path, text, n + 1);
  // "/" is this system's separator: it is appended to any text not already ending in one (a
  // trailing "\" is left as written).
  if (n > 0 && text[n - 1] != '/' && text[n - 1] != '\\') {
    path[n++] = '/';
    path[n] = '\0';
  }
  if (n >= kDnsPathSize) return false;
  std::lock_guard<std::mutex> guard(pathsLock_);
  std::memcpy(directory_, path, n + 1);
  return true;
}

bool DNSDirectory::SetIndexFile(const char* text) {
  if (!text) text = "";
  char path[kDnsPathSize];
  if (!CopyPath(path, text)) return false;
  std::lock_guard<std::mutex> guard(pathsLock_);
  std::memcpy(indexFile_, path, sizeof(path));
  return true;
}

std::string DNSDirectory::DirectoryPath() const {
  std::lock_guard<std::mutex> guard(pathsLock_);
  return directory_;
}

std::string DNSDirectory::IndexFilePath() const {
  std::lock_guard<std::mutex> guard(pathsLock_);
  return indexFile_;
}

void DNSDirectory::CopyPaths(char* directory, char* indexFile) const {
  std::lock_guard<std::mutex> guard(pathsLock_);
  std::memcpy(directory, directory_, kDnsPathSize);
  std::memcpy(indexFile, indexFile_, kDnsPathSize);
}

int DNSDirectory::LoadDomainInfo(const char** nameCursor, DomainInfo** zone) {
  if (!nameCursor || !*nameCursor || !zone) return DNS_ERR_MISSING;
  *zone = nullptr;
  const char* name = *nameCursor;
  char directory[kDnsPathSize];
  char indexFile[kDnsPathSize];
  CopyPaths(directory, indexFile);

  const char* suffix = nullptr;
  char path[kDnsPathSize];
  FILE* file = nullptr;
  if (indexFile[0]) {
    FILE* index = nullptr;
    int rc = OpenForReading(indexFile, &index);
    if (rc != 0) return rc;
    LineSource src;
    src.file = index;
    char value[kDnsPathSize];
    bool absolute = false;
    flockfile(index);
    rc = FindIndexEntry(src, name, &suffix, value, sizeof(value), &absolute);
    funlockfile(index);
    std::fclose(index);
    if (rc != 0) return rc;
    rc = dnsdir::BuildIndexedPath(directory, indexFile, value, absolute, path);
    if (rc != 0) return rc;
  } else {
    // A valid name holds no "/" or "\" and its first label is not empty, so it does not begin
    // with "."; every later candidate begins after a "." with further dots skipped. A candidate
    // is therefore always one file name inside the directory, and never "." or "..".
    if (!directory[0] || !dnsdir::IsValidFileName(name)) return DNS_ERR_NO_FILE;
    const size_t dirLength = std::strlen(directory);
    for (const char* c = SkipDots(name); c && *c; c = NextSuffix(c)) {
      size_t n = std::strlen(c);
      if (dirLength + n >= kDnsPathSize) continue;
      std::memcpy(path, directory, dirLength);
      std::memcpy(path + dirLength, c, n + 1);
      if (IsRegularFile(path)) {
        suffix = c;
        break;
      }
    }
    if (!suffix) return DNS_ERR_NO_FILE;
  }

  int rc = OpenForReading(path, &file);
  if (rc != 0) return rc;
  DomainInfo* info = domain_info_new();
  if (!info) {
    std::fclose(file);
    return DNS_ERR_NO_ROOM;
  }
  rc = domain_info_parse(info, file, suffix);
  std::fclose(file);
  if (rc != 0) {
    domain_info_free(&info);
    return rc;
  }
  *nameCursor = suffix;
  *zone = info;
  return 0;
}
