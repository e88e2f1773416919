// The banner's version text, made from the four-part version compiled in from the build.
// Pure function; safe from any thread.
#pragma once

#include <string>

// Formats a file version such as "2.3.0.45" as it follows "DNS Server" in the banner:
// " 2.3 build 45"; "2.0.0.0" gives " 2.0"; an empty version gives "".
std::string FormatVersionText(const std::string& fileVersion);
// The version text of this build.
std::string GetVersionText();
