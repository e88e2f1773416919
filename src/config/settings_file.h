// The settings file: reads dnscfg.ini (or its ".enc" copy, whose "#" lines are decrypted with the
// public key in <name>.key) into a SettingsMap, and offers the lookups and value tests that every
// consumer of settings uses.
// Owns: the map types, the choice of file names, the line reader (pieces of at most 16383
// characters) and the line parser (name/value lines, quoted values, remarks, blocks).
// Does not own: what a setting means or its default (the server settings), the database as a
// second source of settings, the cryptography of encrypted lines (settings_crypto.h).
// Thread safety: no shared state; several threads may read files into different maps at once.
// A SettingsMap is a plain container without a lock.
#pragma once

#include <cstddef>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>

struct SettingValue {
  std::string text;  // what consumers read; for a block its lines joined by "\n"
  std::map<std::string, std::string> attributes;  // from a block's opening tag; empty otherwise
};

// Setting names compare without regard to ASCII case.
struct SettingNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// Ordered, case-insensitive map from setting name to value. An entry keeps the spelling under which
// its name was first inserted; assigning an existing name replaces the value only.
using SettingsMap = std::map<std::string, SettingValue, SettingNameLess>;

// Fills settings from the file path, or from path + ".enc" when that copy opens. False when the
// path is null or empty, when neither file opens, or when an encrypted line cannot be decrypted for
// want of its key (reading stops there); the reason is logged. Entries read before a failure stay.
bool ReadSettingsFile(const char* path, SettingsMap& settings);

// Copies the text of the named setting into buffer (size bytes, terminator included). False
// without a message when absent; false with "[%s] Invalid setting value: %s" when it does not fit.
bool GetSetting(const SettingsMap& settings, const char* name, char* buffer, size_t size);
// The named entry, or null.
const SettingValue* FindSetting(const SettingsMap& settings, const char* name);
const SettingValue* FindSetting(const SettingsMap& settings, const std::string& name);
// Sets name to a plain text value (attributes cleared), keeping an existing entry's spelling.
void SetSetting(SettingsMap& settings, const std::string& name, const std::string& text);

// "yes", "true" or "1" in any letter case; everything else (the empty text too) is false.
bool IsTrueValue(const std::string& text);
bool IsTrueValue(const char* text);
// "overwrite" in any letter case.
bool IsOverwriteValue(const std::string& text);
bool IsOverwriteValue(const char* text);

// The key file beside the settings file: everything from the first "." of the file name on is
// replaced by ".key" ("/etc/dns/dnscfg.ini" gives "/etc/dns/dnscfg.key"); empty when the file name
// holds no ".". Dots in directory names do not count.
std::string SettingsKeyFileName(const std::string& path);

// The state of reading one file: the open block and the result flag. Usable on any source of
// lines, so the reader and the parser can be driven from memory.
class SettingsReader {
 public:
  // The longest line handled as one; longer physical lines come as several pieces.
  static constexpr size_t kMaxLine = 16383;

  SettingsReader(SettingsMap& settings, std::string keyPath);

  // Reads the stream to its end in pieces of at most kMaxLine characters, feeding each to
  // FeedLine. Returns the result flag. A block still open at the end is closed silently.
  bool ReadStream(std::FILE* file);
  // One line as read, without its line end: skips empty lines and ";" comments, decrypts "#"
  // lines and hands each decrypted line (or any other line) to ParseLine. False when a key
  // error stops the reading.
  bool FeedLine(std::string_view line);
  // The line parser: one logical line, plain text.
  void ParseLine(std::string_view line);

  bool result() const { return result_; }
  const std::string& openBlock() const { return block_; }

 private:
  void ParseValueLine(std::string_view rest);
  void ParseBlockLine(std::string_view rest);
  void ParseTagLine(std::string_view rest);

  SettingsMap& settings_;
  std::string keyPath_;
  std::string block_;  // name of the open block; empty when none is open
  bool result_ = true;
};

// Reads settings from text held in memory exactly as ReadSettingsFile reads a file's contents
// (keyPath as derived from the file name). Returns the result flag.
bool ReadSettingsText(std::string_view text, const std::string& keyPath, SettingsMap& settings);
