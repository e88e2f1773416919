// The text side of schema reconciliation, without any database: walking a table definition
// (the text between the parentheses of a CREATE TABLE) into its column, index and foreign-key
// clauses, comparing a wanted column type with the type the server reports, and the start-time
// text of the Versions row. The definitions come only from the program itself.
// Pure functions; safe from any thread.
#pragma once

#include <ctime>
#include <functional>
#include <string>

enum class DefinitionClause { Column, Index, ForeignKey };

// Walks definition from left to right and hands every usable clause to add:
//   Column:     name, the type with its attributes ("INT PRIMARY KEY AUTO_INCREMENT")
//   Index:      name, the column list between its parentheses ("`SName`")
//   ForeignKey: column name, the rest ("REFERENCES `DNSZones` (`Id`) ON DELETE CASCADE")
// Names lose their backticks and hold at most 63 characters; a rest holds at most 255. An index
// whose column list is not enclosed in parentheses is skipped. Returns false as soon as add
// does, else true.
bool WalkTableDefinition(const char* definition,
                         const std::function<bool(DefinitionClause, const std::string& name,
                                                  const std::string& rest)>& add);

// The type a column should have, as the server reports it: lower case, cut at the first blank,
// with "bool" -> "tinyint(1)", "int" -> "int(11)", "bigint" -> "bigint(20)".
std::string WantedColumnType(const char* type);

// Whether the reported type of a column satisfies the wanted one (both lower case). Integer
// display widths are ignored on both sides ("int(11)" and "int" match; "tinyint(1)" and
// "tinyint" match), since servers differ in whether they report them; everything else must be
// equal ("int(11) unsigned" does not match "int(11)", "varchar(100)" not "varchar(256)").
bool ColumnTypeMatches(const std::string& reported, const std::string& wanted);

// A table name without its enclosing backticks (when it is longer than one character and both
// starts and ends with one), at most 63 characters.
std::string UnquotedTableName(const char* table);

// "MM/DD/YY HH:MM:SS" in local time (17 characters).
std::string FormatStartTime(std::time_t when);
