#include "config/settings_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "config/settings_crypto.h"
#include "shell/log.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  }
  return true;
}

// A read position in one line of text. Every look at a character of a settings line goes through
// it, so the bounds of the line are checked here and nowhere else.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : text_(text) {}

  bool AtEnd() const { return pos_ >= text_.size(); }
  bool PeekIs(char c) const { return !AtEnd() && text_[pos_] == c; }
  bool PeekIsBlank() const { return !AtEnd() && IsBlank(text_[pos_]); }
  void Advance() {
    if (!AtEnd()) ++pos_;
  }
  void SkipBlanks() {
    while (PeekIsBlank()) ++pos_;
  }
  // The characters up to (not including) the first one found in stops, or up to the end.
  std::string_view TakeUntil(std::string_view stops) {
    const size_t start = pos_;
    while (!AtEnd() && stops.find(text_[pos_]) == std::string_view::npos) ++pos_;
    return text_.substr(start, pos_ - start);
  }
  // Whether c occurs anywhere from the current position on.
  bool Contains(char c) const { return !AtEnd() && text_.find(c, pos_) != std::string_view::npos; }
  std::string_view Rest() const { return AtEnd() ? std::string_view() : text_.substr(pos_); }
  // At a double quote: the text up to the next unescaped double quote, a backslash making the next
  // character literal (the backslash itself is dropped). False when the closing quote is missing.
  bool TakeQuoted(std::string& out) {
    out.clear();
    if (!PeekIs('"')) return false;
    ++pos_;
    while (!AtEnd()) {
      char c = text_[pos_++];
      if (c == '"') return true;
      if (c == '\\') {
        if (AtEnd()) return false;
        c = text_[pos_++];
      }
      out.push_back(c);
    }
    return false;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view DropSuffix(std::string_view s, char c) {
  if (!s.empty() && s.back() == c) s.remove_suffix(1);
  return s;
}

// A value after blanks (outside a block) or a block line: a quoted text, or the text before the
// first "#" without the blanks before it. False for an unterminated quote.
bool ReadPlainValue(LineCursor& cursor, std::string& value) {
  if (cursor.PeekIs('"')) return cursor.TakeQuoted(value);
  value = std::string(TrimBlanks(cursor.TakeUntil("#")));
  return true;
}

// The attributes of a tag line, read up to its ">". False when the line has no closing ">".
bool ReadAttributes(LineCursor& cursor, std::map<std::string, std::string>& attributes) {
  for (;;) {
    cursor.SkipBlanks();
    if (cursor.AtEnd()) return false;
    if (cursor.PeekIs('>')) return true;
    std::string_view name = cursor.TakeUntil(" \t=>");
    if (name.empty()) return cursor.Contains('>');  // "=" without a name stops reading attributes
    cursor.SkipBlanks();
    std::string value;
    if (cursor.PeekIs('=')) {
      cursor.Advance();
      cursor.SkipBlanks();
      if (cursor.PeekIs('"')) {
        if (!cursor.TakeQuoted(value)) return false;
      } else {
        value = std::string(cursor.TakeUntil(" \t>"));
      }
    }
    attributes[std::string(name)] = std::move(value);
  }
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// fopen for reading that also refuses directories (which fopen accepts on this platform).
FilePtr OpenForReading(const std::string& path, int& error) {
  FilePtr file(std::fopen(path.c_str(), "r"));
  if (!file) {
    error = errno;
    return nullptr;
  }
  struct stat st;
  if (fstat(fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
    error = EISDIR;
    return nullptr;
  }
  return file;
}

}  // namespace

bool SettingNameLess::operator()(const std::string& a, const std::string& b) const {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(AsciiUpper(a[i]));
    const auto cb = static_cast<unsigned char>(AsciiUpper(b[i]));
    if (ca != cb) return ca < cb;
  }
  return a.size() < b.size();
}

const SettingValue* FindSetting(const SettingsMap& settings, const std::string& name) {
  auto it = settings.find(name);
  return it == settings.end() ? nullptr : &it->second;
}

const SettingValue* FindSetting(const SettingsMap& settings, const char* name) {
  return name == nullptr ? nullptr : FindSetting(settings, std::string(name));
}

void SetSetting(SettingsMap& settings, const std::string& name, const std::string& text) {
  settings[name] = SettingValue{text, {}};
}

bool GetSetting(const SettingsMap& settings, const char* name, char* buffer, size_t size) {
  const SettingValue* value = FindSetting(settings, name);
  if (value == nullptr) return false;
  if (buffer == nullptr || value->text.size() >= size) {
    LogError("[%s] Invalid setting value: %s", name, value->text.c_str());
    return false;
  }
  std::memcpy(buffer, value->text.data(), value->text.size());
  buffer[value->text.size()] = '\0';
  return true;
}

bool IsTrueValue(const std::string& text) {
  return EqualsNoCase(text, "yes") || EqualsNoCase(text, "true") || EqualsNoCase(text, "1");
}
bool IsTrueValue(const char* text) { return text != nullptr && IsTrueValue(std::string(text)); }

bool IsOverwriteValue(const std::string& text) { return EqualsNoCase(text, "overwrite"); }
bool IsOverwriteValue(const char* text) {
  return text != nullptr && IsOverwriteValue(std::string(text));
}

std::string SettingsKeyFileName(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.find('.', nameStart);
  if (dot == std::string::npos) return std::string();
  return path.substr(0, dot) + ".key";
}

SettingsReader::SettingsReader(SettingsMap& settings, std::string keyPath)
    : settings_(settings), keyPath_(std::move(keyPath)) {}

bool SettingsReader::ReadStream(std::FILE* file) {
  char buffer[kMaxLine + 1];
  while (result_ && std::fgets(buffer, sizeof(buffer), file) != nullptr) {
    // A line is text: anything after a NUL byte is not part of it.
    std::string_view line(buffer, std::strlen(buffer));
    FeedLine(DropSuffix(DropSuffix(line, '\n'), '\r'));
  }
  block_.clear();  // a block still open at the end closes without a message
  return result_;
}

bool SettingsReader::FeedLine(std::string_view line) {
  if (!result_) return false;
  LineCursor first(line);
  if (first.AtEnd() || first.PeekIs(';')) return true;
  if (!first.PeekIs('#')) {
    ParseLine(line);
    return true;
  }
  std::string plain;
  switch (DecryptSettingsLine(keyPath_, line.substr(1), plain)) {
    case DecryptOutcome::kKeyError:
      result_ = false;
      return false;
    case DecryptOutcome::kNotUsable:
      ParseLine(line);  // ignored by the parser as a remark
      return true;
    case DecryptOutcome::kDecrypted:
      break;
  }
  LineCursor text(std::string_view(plain.c_str()));  // the text ends at a NUL byte
  for (;;) {
    ParseLine(DropSuffix(text.TakeUntil("\n"), '\r'));
    if (text.AtEnd()) break;
    text.Advance();  // the "\n"
  }
  return true;
}

void SettingsReader::ParseLine(std::string_view line) {
  const std::string_view rest = TrimBlanks(line);
  LineCursor cursor(rest);
  if (cursor.AtEnd() || cursor.PeekIs('#') || cursor.PeekIs(';') || cursor.PeekIs('=')) return;
  if (cursor.PeekIs('<')) {
    ParseTagLine(rest.substr(1));
  } else if (block_.empty()) {
    ParseValueLine(rest);
  } else {
    ParseBlockLine(rest);
  }
}

void SettingsReader::ParseValueLine(std::string_view rest) {
  LineCursor cursor(rest);
  const std::string_view name = cursor.TakeUntil(" \t=");
  if (cursor.AtEnd()) return;  // a name alone is ignored
  bool sawEquals = false;
  for (;;) {
    if (cursor.PeekIsBlank()) {
      cursor.Advance();
    } else if (!sawEquals && cursor.PeekIs('=')) {
      sawEquals = true;
      cursor.Advance();
    } else {
      break;
    }
  }
  std::string value;
  if (sawEquals) {
    value = std::string(cursor.Rest());  // after "=", quotes and "#" are part of the value
  } else if (!ReadPlainValue(cursor, value)) {
    return;
  }
  SetSetting(settings_, std::string(name), value);
}

void SettingsReader::ParseBlockLine(std::string_view rest) {
  LineCursor cursor(rest);
  std::string value;
  if (!ReadPlainValue(cursor, value)) return;
  auto it = settings_.find(block_);
  if (it == settings_.end()) {
    SetSetting(settings_, block_, value);
    return;
  }
  std::string& text = it->second.text;
  if (!text.empty()) text.push_back('\n');
  text += value;
}

void SettingsReader::ParseTagLine(std::string_view rest) {
  LineCursor cursor(rest);
  const std::string_view name = cursor.TakeUntil(" \t>");
  if (name.empty()) return;  // "< name" or "<>"
  std::map<std::string, std::string> attributes;
  if (!ReadAttributes(cursor, attributes)) return;  // no ">"
  const bool endTag = LineCursor(name).PeekIs('/');
  if (block_.empty()) {
    // An end tag with no block open closes nothing; it must not open a block named "/...".
    if (endTag) return;
    block_ = std::string(name);
    settings_[block_] = SettingValue{std::string(), std::move(attributes)};
  } else if (endTag && EqualsNoCase(name.substr(1), block_)) {
    block_.clear();
  }
  // Any other tag inside a block is ignored: blocks do not nest.
}

bool ReadSettingsText(std::string_view text, const std::string& keyPath, SettingsMap& settings) {
  SettingsReader reader(settings, keyPath);
  if (text.empty()) return reader.result();
  // The same reader as for files, over the bytes in memory.
  FilePtr stream(fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
  if (!stream) return reader.result();
  return reader.ReadStream(stream.get());
}

bool ReadSettingsFile(const char* path, SettingsMap& settings) {
  if (path == nullptr || path[0] == '\0') {
    LogError("Settings file does not specified");
    return false;
  }
  const std::string plainPath(path);
  int error = 0;
  FilePtr file = OpenForReading(plainPath + ".enc", error);
  if (!file) file = OpenForReading(plainPath, error);
  if (!file) {
    LogError("Unable to open config file (error %i)", error);
    return false;
  }
  SettingsReader reader(settings, SettingsKeyFileName(plainPath));
  return reader.ReadStream(file.get());
}
