// The operators' configuration reference (docs/configuration.md), written from the settings table
// (SettingRows) so that a setting added to the table appears in the reference with its syntax,
// default and effect. tools/dnsserver-settings-doc prints it; a test compares the committed page
// with it. Owns no state; safe from any thread.
#pragma once

#include <string>

// The whole Markdown page.
std::string SettingsReferenceMarkdown();
