// The table definition walker, the column type comparison and the start-time text.
#include "db/table_definition.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Clause {
  DefinitionClause kind;
  std::string name, rest;
  bool operator==(const Clause& o) const { return kind == o.kind && name == o.name && rest == o.rest; }
};

std::vector<Clause> Walk(const char* definition, bool* result = nullptr) {
  std::vector<Clause> out;
  bool ok = WalkTableDefinition(definition, [&](DefinitionClause k, const std::string& n, const std::string& r) {
    out.push_back({k, n, r});
    return true;
  });
  if (result != nullptr) *result = ok;
  return out;
}

constexpr DefinitionClause C = DefinitionClause::Column;
constexpr DefinitionClause I = DefinitionClause::Index;
constexpr DefinitionClause F = DefinitionClause::ForeignKey;

struct WalkCase {
  const char* name;
  const char* definition;
  std::vector<Clause> clauses;
};

TEST(WalkTableDefinition, SplitsClauses) {
  const WalkCase cases[] = {
      {"columns with attributes and parenthesised types",
       "`Id` INT PRIMARY KEY AUTO_INCREMENT, `SName` VARCHAR(100), `DbVersion` INT",
       {{C, "Id", "INT PRIMARY KEY AUTO_INCREMENT"}, {C, "SName", "VARCHAR(100)"}, {C, "DbVersion", "INT"}}},
      {"index column list without its parentheses", "`A` INT, INDEX `I0_T` (`A`), index `I1_T` (`A`, `B`)",
       {{C, "A", "INT"}, {I, "I0_T", "`A`"}, {I, "I1_T", "`A`, `B`"}}},
      {"foreign key with the reference as rest",
       "`ZoneId` INT, FOREIGN KEY (`ZoneId`) REFERENCES `DNSZones` (`Id`) ON DELETE CASCADE",
       {{C, "ZoneId", "INT"}, {F, "ZoneId", "REFERENCES `DNSZones` (`Id`) ON DELETE CASCADE"}}},
      {"index whose column list is not in parentheses is skipped", "INDEX `I0` `A`, `B` INT", {{C, "B", "INT"}}},
      {"names without backticks, extra blanks and commas", "  a  int ,, b varchar(10)  ,",
       {{C, "a", "int"}, {C, "b", "varchar(10)"}}},
      {"a name ended by a comma is skipped", "`A`, `B` INT", {{C, "B", "INT"}}},
      {"a column without a type is skipped", "`A` , `B` BIGINT", {{C, "B", "BIGINT"}}},
      {"the end inside a name ends the walk", "`A` INT, `B", {{C, "A", "INT"}}},
      {"foreign key without a parenthesis resumes after one character", "FOREIGN KEY x, `A` INT", {{C, "A", "INT"}}},
      {"empty text", "", {}},
  };
  for (const WalkCase& c : cases) {
    bool ok = false;
    EXPECT_EQ(Walk(c.definition, &ok), c.clauses) << c.name;
    EXPECT_TRUE(ok) << c.name;
  }
}

TEST(WalkTableDefinition, StopsWhenAnAddFails) {
  int calls = 0;
  bool ok = WalkTableDefinition("`A` INT, `B` INT, `C` INT", [&](DefinitionClause, const std::string& n, const std::string&) {
    ++calls;
    return n != "B";
  });
  EXPECT_FALSE(ok);
  EXPECT_EQ(calls, 2);
}

TEST(WalkTableDefinition, LimitsNameAndRest) {
  std::string longName(100, 'n');
  std::string longType = "VARCHAR(10) COMMENT '" + std::string(300, 'c') + "'";
  auto out = Walk(("`" + longName + "` " + longType).c_str());
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, std::string(63, 'n'));
  EXPECT_EQ(out[0].rest.size(), 255u);
}

TEST(ColumnTypes, WantedType) {
  const std::pair<const char*, const char*> cases[] = {
      {"INT PRIMARY KEY AUTO_INCREMENT", "int(11)"}, {"BOOL", "tinyint(1)"}, {"BIGINT", "bigint(20)"},
      {"VARCHAR(256)", "varchar(256)"},           {"INTEGER", "integer"},   {"int(10) unsigned", "int(10)"},
  };
  for (const auto& [type, wanted] : cases) EXPECT_EQ(WantedColumnType(type), wanted) << type;
}

TEST(ColumnTypes, ReportedTypeMatches) {
  struct Case {
    const char* reported;
    const char* definition;
    bool matches;
  };
  const Case cases[] = {
      {"int(11)", "INT PRIMARY KEY AUTO_INCREMENT", true},  // MariaDB
      {"int", "INT PRIMARY KEY AUTO_INCREMENT", true},      // MySQL 8 reports no display width
      {"tinyint(1)", "BOOL", true},
      {"tinyint", "BOOL", true},
      {"bigint", "BIGINT", true},
      {"bigint(20)", "BIGINT", true},
      {"varchar(256)", "VARCHAR(256)", true},
      {"varchar(100)", "VARCHAR(256)", false},
      {"int(11) unsigned", "INT", false},
      {"varchar(256)", "INT", false},
      {"bigint(20)", "INT", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ColumnTypeMatches(c.reported, WantedColumnType(c.definition)), c.matches)
        << c.reported << " vs " << c.definition;
}

TEST(TableNames, Unquoted) {
  EXPECT_EQ(UnquotedTableName("`DBVersions`"), "DBVersions");
  EXPECT_EQ(UnquotedTableName("Settings"), "Settings");
  EXPECT_EQ(UnquotedTableName("`"), "`");
  EXPECT_EQ(UnquotedTableName("``"), "");
}

TEST(StartTime, MonthFirstTwoDigitFields) {
  std::tm t = {};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 4;
  t.tm_hour = 5;
  t.tm_min = 6;
  t.tm_sec = 7;
  t.tm_isdst = -1;
  EXPECT_EQ(FormatStartTime(std::mktime(&t)), "03/04/26 05:06:07");
}

}  // namespace
