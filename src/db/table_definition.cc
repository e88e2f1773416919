#include "db/table_definition.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t kMaxName = 63;
constexpr size_t kMaxRest = 255;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

const char* SkipBlanks(const char* p) {
  while (IsBlank(*p)) ++p;
  return p;
}

// Moves past the rest of a clause: up to the next ',' outside parentheses or the end.
const char* ClauseEnd(const char* p) {
  int depth = 0;
  for (; *p != '\0'; ++p) {
    if (*p == '(') ++depth;
    else if (*p == ')' && depth > 0) --depth;
    else if (*p == ',' && depth == 0) break;
  }
  return p;
}

bool IsIntegerType(const std::string& word) {
  return word == "tinyint" || word == "smallint" || word == "mediumint" || word == "int" ||
         word == "integer" || word == "bigint";
}

// Removes "(digits)" right after an integer type name wherever one stands in the text.
std::string WithoutIntegerWidths(const std::string& type) {
  std::string out;
  size_t i = 0;
  while (i < type.size()) {
    if (std::isalpha(static_cast<unsigned char>(type[i]))) {
      size_t j = i;
      while (j < type.size() && std::isalpha(static_cast<unsigned char>(type[j]))) ++j;
      std::string word = type.substr(i, j - i);
      out += word;
      i = j;
      if (IsIntegerType(word) && i < type.size() && type[i] == '(') {
        size_t k = i + 1;
        while (k < type.size() && std::isdigit(static_cast<unsigned char>(type[k]))) ++k;
        if (k > i + 1 && k < type.size() && type[k] == ')') i = k + 1;
      }
    } else {
      out += type[i++];
    }
  }
  return out;
}

}  // namespace

bool WalkTableDefinition(const char* definition,
                         const std::function<bool(DefinitionClause, const std::string&, const std::string&)>& add) {
  if (definition == nullptr) return true;
  const char* p = definition;
  for (;;) {
    p = SkipBlanks(p);
    if (*p == ',') {
      ++p;
      continue;
    }
    if (*p == '\0') return true;

    DefinitionClause kind = DefinitionClause::Column;
    if (strncasecmp(p, "INDEX ", 6) == 0) {
      kind = DefinitionClause::Index;
      p = SkipBlanks(p + 6);
      if (*p == ',') {
        ++p;
        continue;
      }
      if (*p == '\0') return true;
    } else if (strncasecmp(p, "FOREIGN KEY ", 12) == 0) {
      kind = DefinitionClause::ForeignKey;
      p = SkipBlanks(p + 12);
      if (*p != '(') {
        if (*p == '\0') return true;
        ++p;
        continue;
      }
      p = SkipBlanks(p + 1);
    }

    if (*p == '`') ++p;
    const char* nameStart = p;
    if (kind == DefinitionClause::ForeignKey) {
      while (*p != '\0' && *p != ')') ++p;
    } else {
      while (*p != '\0' && !IsBlank(*p) && *p != '(' && *p != ')' && *p != ',') ++p;
    }
    if (*p == '\0') return true;
    std::string name(nameStart, static_cast<size_t>(p - nameStart));
    while (!name.empty() && IsBlank(name.back())) name.pop_back();
    if (!name.empty() && name.back() == '`') name.pop_back();
    if (name.size() > kMaxName) name.resize(kMaxName);
    const char terminator = *p;
    if (terminator == ',') {
      ++p;
      continue;
    }
    if (name.empty()) {
      p = ClauseEnd(p);
      continue;
    }
    if (terminator == ')') ++p;
    p = SkipBlanks(p);

    const char* restStart = p;
    p = ClauseEnd(p);
    std::string rest(restStart, static_cast<size_t>(p - restStart));
    while (!rest.empty() && IsBlank(rest.back())) rest.pop_back();
    if (rest.size() > kMaxRest) rest.resize(kMaxRest);
    if (rest.empty()) continue;

    switch (kind) {
      case DefinitionClause::Index:
        if (rest.size() < 3 || rest.front() != '(' || rest.back() != ')') continue;
        if (!add(kind, name, rest.substr(1, rest.size() - 2))) return false;
        break;
      case DefinitionClause::ForeignKey:
      case DefinitionClause::Column:
        if (!add(kind, name, rest)) return false;
        break;
    }
  }
}

std::string WantedColumnType(const char* type) {
  std::string wanted;
  for (const char* p = type; p != nullptr && *p != '\0' && !IsBlank(*p); ++p)
    wanted += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  if (wanted == "bool") return "tinyint(1)";
  if (wanted == "int") return "int(11)";
  if (wanted == "bigint") return "bigint(20)";
  return wanted;
}

bool ColumnTypeMatches(const std::string& reported, const std::string& wanted) {
  return WithoutIntegerWidths(reported) == WithoutIntegerWidths(wanted);
}

std::string UnquotedTableName(const char* table) {
  std::string name = table != nullptr ? table : "";
  if (name.size() > 1 && name.front() == '`' && name.back() == '`') name = name.substr(1, name.size() - 2);
  if (name.size() > kMaxName) name.resize(kMaxName);
  return name;
}

std::string FormatStartTime(std::time_t when) {
  std::tm local;
  localtime_r(&when, &local);
  char text[32];
  std::snprintf(text, sizeof(text), "%02d/%02d/%02d %02d:%02d:%02d", local.tm_mon + 1, local.tm_mday,
                local.tm_year % 100, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}
