// The three console lines printed at start: banner with version, maker line, usage line.
// Printed with plain printf, never to the log file. Safe from any thread.
#pragma once

#include <string>

// "Copyright (C) 2026[-YYYY] ..." with the current local year when it is later than 2026.
std::string MakerLine(int currentYear);
// Prints "DNS Server<version>\n", the maker line, an empty line, and the usage line.
void PrintBanner();
