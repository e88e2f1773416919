// The table of the server's settings: every name the settings file (and the database) may set,
// in the order in which they are applied, with its syntax, its default when absent and its
// reload rule. Applying, printing and the configuration reference are all made from it.
// The table is constant; applying runs on the thread that loads the settings.
#pragma once

#include <cstddef>
#include <cstdint>

class DNSServer;

struct SettingRow {
  const char* names[3];      // alternatives, the first present wins (the numbered URL row, which
                             // has no apply function, names the first of each group instead)
  const char* syntax;
  const char* defaultText;   // what an absent setting becomes ("none": left as it is)
  bool always;               // the default applies also on a reload
  const char* effect;
  // Applies a present value (text, under the alternative name that was present) or the default
  // (text null). False rejects the value.
  bool (*apply)(DNSServer& server, const char* present, const char* text);
};

// The rows in the order of application.
const SettingRow* SettingRows(size_t* count);

// Value syntaxes shared with the database settings.
bool ParsePortSetting(const char* text, uint16_t* port);       // atoi mod 65536, 0 rejected
bool ParseSecondsSetting(const char* text, uint32_t* seconds); // digits and one unit letter D/H/M/W
