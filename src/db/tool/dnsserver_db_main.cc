// dnsserver-db: administration of the server's database without SQL by hand. It reads the four
// connection settings from the server's settings file, opens the database with the server's own
// client (creating or upgrading the tables as the server does), and then:
//
//   settings show [NAME] | get NAME | set NAME VALUE | delete NAME   rows of Settings, App DNSServer
//   zones list | import ZONEFILE [ORIGIN] | delete NAME              DNSZones with DNSResources
//
// A zone file is read by the server's own zone reader and written in one transaction, replacing a
// stored zone of the same name; before the transaction is committed the zone is read back and
// rebuilt as the server will build it, and the import is rolled back unless every record of the
// file comes back. Results go to standard output; the database client's log lines and every
// message go to standard error. Exit status 0 on success, 1 on failure, 2 for a usage error.
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/settings_file.h"
#include "db/db_client.h"
#include "db/zone_import.h"
#include "dns/zone_file.h"
#include "shell/exceptions.h"
#include "shell/log.h"

namespace {

constexpr char kTag[] = "dnsserver-db";
constexpr int32_t kSiteTool = 13001;     // read lock around the tool's own statements
constexpr size_t kMaxSettingName = 100;  // Settings.SName VARCHAR(100)
constexpr size_t kMaxSettingValue = 2000;  // Settings.SValue VARCHAR(2000)

constexpr char kUsage[] =
    "Usage: dnsserver-db [-cfgfile FILE] COMMAND\n"
    "\n"
    "Manages the settings and zones that dnsserver keeps in its MySQL/MariaDB database. The\n"
    "database is named by MySQLHost, MySQLDbName, MySQLUser and MySQLPass in the settings file\n"
    "(default dnscfg.ini); its tables are created or upgraded as the server does.\n"
    "\n"
    "Commands:\n"
    "  settings show [NAME]          print the server's settings rows (NAME=VALUE)\n"
    "  settings get NAME             print the value of one setting\n"
    "  settings set NAME VALUE       store a setting (an empty VALUE stores NULL)\n"
    "  settings delete NAME          remove a setting row\n"
    "  zones list                    print each zone with the number of its record rows\n"
    "  zones import ZONEFILE [ORIGIN]\n"
    "                                store a zone file as the zone ORIGIN (default: the file's\n"
    "                                name without its folder), replacing a zone of that name\n"
    "  zones delete NAME             remove a zone and its records\n"
    "\n"
    "Exit status: 0 on success, 1 on failure, 2 for a usage error.\n";

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };

void Fail(const char* fmt, ...) DNS_PRINTF(1, 2);
void Fail(const char* fmt, ...) {
  std::fprintf(stderr, "%s: ", kTag);
  va_list args;
  va_start(args, fmt);
  std::vfprintf(stderr, fmt, args);
  va_end(args);
  std::fputc('\n', stderr);
}

// Results to the process's standard output; the log (which writes to standard output) is pointed
// at standard error for the life of the object, except inside ToResults.
class ResultOutput {
 public:
  ResultOutput() {
    std::fflush(stdout);
    fd_ = dup(STDOUT_FILENO);
    if (fd_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  ~ResultOutput() {
    std::fflush(stdout);
    if (fd_ >= 0) {
      dup2(fd_, STDOUT_FILENO);
      close(fd_);
    }
  }
  ResultOutput(const ResultOutput&) = delete;
  ResultOutput& operator=(const ResultOutput&) = delete;

  void Print(const char* fmt, ...) DNS_PRINTF(2, 3) {
    va_list args;
    va_start(args, fmt);
    vdprintf(fd_ >= 0 ? fd_ : STDOUT_FILENO, fmt, args);
    va_end(args);
  }
  // Runs body with the log on standard output (for the client's printing operations).
  template <class Body>
  void ToResults(Body&& body) {
    std::fflush(stdout);
    if (fd_ >= 0) dup2(fd_, STDOUT_FILENO);
    body();
    std::fflush(stdout);
    if (fd_ >= 0) dup2(STDERR_FILENO, STDOUT_FILENO);
  }

 private:
  int fd_ = -1;
};

// Characters of a UTF-8 text (the column limits count characters).
size_t Utf8Length(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

bool ValidSettingName(const std::string& name) {
  if (name.empty() || Utf8Length(name) > kMaxSettingName || name.find('\0') != std::string::npos) {
    Fail("a setting name has 1 to %zu characters: \"%s\"", kMaxSettingName, name.c_str());
    return false;
  }
  return true;
}

// ---- The tool's own statements ----

// Runs body(connection) under the context's read lock inside the client's failure handler; false
// after a closed connection or a reported failure.
template <class Body>
bool WithConnection(MysqlDbContext& context, const char* tag, Body&& body) {
  SpinRWGuard read(context.Lock(), kSiteTool, SpinRWGuard::Read);
  bool ok = false;
  DbGuarded(tag, nullptr, [&] {
    SqlConnection* connection = context.Connection();
    if (!ConnectionOpen(connection, tag)) return;
    body(connection);
    ok = true;
  });
  return ok;
}

bool Execute(MysqlDbContext& context, const char* tag, const char* sql) {
  return WithConnection(context, tag, [&](SqlConnection* c) { c->CreateStatement()->Execute(sql); });
}

// The zone name as the server keys it: without one final '.'.
std::string ZoneKey(std::string name) {
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

// Deletes the zones whose ZoneName is name with or without a final '.', in any letter case (the
// server takes all of them as one zone), and their records; *count = zones deleted.
bool DeleteZoneRows(MysqlDbContext& context, const char* tag, const std::string& name, int* count) {
  return WithConnection(context, tag, [&](SqlConnection* c) {
    const std::string dotted = name + ".";
    std::unique_ptr<SqlPrepared> records = c->Prepare(
        "DELETE r FROM `DNSResources` r JOIN `DNSZones` z ON r.`ZoneId`=z.`Id` "
        "WHERE LOWER(z.`ZoneName`) IN (LOWER(?), LOWER(?))");
    records->SetString(1, name);
    records->SetString(2, dotted);
    records->ExecuteUpdate();
    std::unique_ptr<SqlPrepared> zones =
        c->Prepare("DELETE FROM `DNSZones` WHERE LOWER(`ZoneName`) IN (LOWER(?), LOWER(?))");
    zones->SetString(1, name);
    zones->SetString(2, dotted);
    *count = zones->ExecuteUpdate();
  });
}

// Reads one zone row and its records back as the server reads them.
bool ReadZoneRows(MysqlDbContext& context, const char* tag, int32_t id, DbZoneRow* zone,
                  std::vector<DbResourceRow>* resources) {
  return WithConnection(context, tag, [&](SqlConnection* c) {
    std::unique_ptr<SqlPrepared> zq = c->Prepare(
        "SELECT `ZoneName`, `NameServer1`, `ResponsibleMailAddr`, `Serial`, `Refresh`, `Retry`, `Expire`, "
        "`DefaultTTL` FROM `DNSZones` WHERE `Id`=?");
    zq->SetInt(1, id);
    std::unique_ptr<SqlResult> zr = zq->ExecuteQuery();
    if (!zr->Next()) throw std::runtime_error("the zone row written is not there");
    zone->id = id;
    zone->zoneName = zr->GetString(1);
    zone->nameServer1 = zr->GetString(2);
    zone->responsibleMailAddr = zr->GetString(3);
    zone->serial = zr->GetInt64(4);
    zone->refresh = zr->GetInt64(5);
    zone->retry = zr->GetInt64(6);
    zone->expire = zr->GetInt64(7);
    zone->defaultTTL = zr->GetInt64(8);
    std::unique_ptr<SqlPrepared> rq = c->Prepare(
        "SELECT `RName`, `RType`, `RClass`, `TTL`, `RData`, `Preference` FROM `DNSResources` WHERE `ZoneId`=?");
    rq->SetInt(1, id);
    std::unique_ptr<SqlResult> rr = rq->ExecuteQuery();
    while (rr->Next()) {
      DbResourceRow row;
      row.rName = rr->GetString(1);
      row.rType = rr->GetString(2);
      row.rClass = rr->GetString(3);
      row.ttl = rr->GetInt64(4);
      row.rData = rr->GetString(5);
      row.preference = rr->GetInt64(6);
      resources->push_back(std::move(row));
    }
  });
}

// True for the zone named suffix and the zones below it.
bool InZoneNoCase(const std::string& name, const char* suffix) {
  size_t n = std::strlen(suffix);
  if (name.size() < n || strncasecmp(name.c_str() + name.size() - n, suffix, n) != 0) return false;
  return name.size() == n || name[name.size() - n - 1] == '.';
}

struct ZoneDeleter {
  void operator()(DomainInfo* z) const { domain_info_free(&z); }
};
using ZonePtr = std::unique_ptr<DomainInfo, ZoneDeleter>;

// ---- Commands ----

int SettingsShow(MysqlDbContext& context, ResultOutput& out, const char* name) {
  MysqlDbClient* client = context.Client();
  bool found = true;
  {
    SpinRWGuard read(context.Lock(), kSiteTool, SpinRWGuard::Read);
    out.ToResults([&] {
      if (name == nullptr)
        client->ShowDbSettings(context.Connection(), nullptr);
      else
        found = client->ShowDbSetting(context.Connection(), name, nullptr);
    });
  }
  // ShowDbSettings answers nothing; a connection lost on the way is the failure it can meet.
  SqlConnection* connection = context.Connection();
  if (connection == nullptr || connection->IsClosed()) {
    Fail("reading the settings failed");
    return kExitFailed;
  }
  if (!found) {
    Fail("no setting \"%s\"", name);
    return kExitFailed;
  }
  return kExitOk;
}

// The value of a setting; false when there is no row (or reading failed, which the client
// reported).
bool GetValue(MysqlDbContext& context, const std::string& name, std::string* value) {
  std::vector<char> buffer(kMaxSettingValue * 4 + 1);
  SpinRWGuard read(context.Lock(), kSiteTool, SpinRWGuard::Read);
  if (!context.Client()->GetDbSetting(context.Connection(), name.c_str(), buffer.data(), buffer.size(), nullptr))
    return false;
  *value = buffer.data();
  return true;
}

int SettingsGet(MysqlDbContext& context, ResultOutput& out, const std::string& name) {
  if (!ValidSettingName(name)) return kExitFailed;
  std::string value;
  if (!GetValue(context, name, &value)) {
    Fail("no setting \"%s\"", name.c_str());
    return kExitFailed;
  }
  out.Print("%s\n", value.c_str());
  return kExitOk;
}

int SettingsSet(MysqlDbContext& context, ResultOutput& out, const std::string& name, const std::string& value) {
  if (!ValidSettingName(name)) return kExitFailed;
  if (Utf8Length(value) > kMaxSettingValue || value.find('\0') != std::string::npos) {
    Fail("a setting value has at most %zu characters", kMaxSettingValue);
    return kExitFailed;
  }
  bool ok;
  {
    SpinRWGuard read(context.Lock(), kSiteTool, SpinRWGuard::Read);
    ok = context.Client()->SetDbSetting(context.Connection(), name.c_str(), value.c_str(), nullptr);
  }
  if (!ok) {
    Fail("storing the setting \"%s\" failed", name.c_str());
    return kExitFailed;
  }
  // Read it back: a database that shortens or converts values must not pass unnoticed.
  std::string stored;
  if (!GetValue(context, name, &stored) || stored != value) {
    Fail("the database did not keep the value of \"%s\" as given (it holds \"%s\")", name.c_str(), stored.c_str());
    return kExitFailed;
  }
  out.Print("%s=%s\n", name.c_str(), value.c_str());
  return kExitOk;
}

int SettingsDelete(MysqlDbContext& context, ResultOutput& out, const std::string& name) {
  if (!ValidSettingName(name)) return kExitFailed;
  std::string value;
  if (!GetValue(context, name, &value)) {
    Fail("no setting \"%s\"", name.c_str());
    return kExitFailed;
  }
  bool ok;
  {
    SpinRWGuard read(context.Lock(), kSiteTool, SpinRWGuard::Read);
    ok = context.Client()->SetDbSetting(context.Connection(), name.c_str(), nullptr, nullptr);
  }
  if (!ok) {
    Fail("deleting the setting \"%s\" failed", name.c_str());
    return kExitFailed;
  }
  out.Print("Deleted setting %s\n", name.c_str());
  return kExitOk;
}

int ZonesList(MysqlDbContext& context, ResultOutput& out) {
  std::vector<std::pair<std::string, long long>> zones;
  bool ok = WithConnection(context, "DBTool::ListZones", [&](SqlConnection* c) {
    std::unique_ptr<SqlStatement> st = c->CreateStatement();
    std::unique_ptr<SqlResult> rs = st->ExecuteQuery(
        "SELECT z.`ZoneName`, COUNT(r.`Id`) FROM `DNSZones` z LEFT JOIN `DNSResources` r ON r.`ZoneId`=z.`Id` "
        "GROUP BY z.`Id`, z.`ZoneName` ORDER BY z.`ZoneName`, z.`Id`");
    while (rs->Next()) zones.emplace_back(rs->GetString(1), static_cast<long long>(rs->GetInt64(2)));
  });
  if (!ok) {
    Fail("listing the zones failed");
    return kExitFailed;
  }
  for (const auto& zone : zones) out.Print("%s\t%lld\n", zone.first.c_str(), zone.second);
  return kExitOk;
}

int ZonesDelete(MysqlDbContext& context, ResultOutput& out, const std::string& given) {
  static const char* const tag = "DBTool::DeleteZone";
  const std::string name = ZoneKey(given);
  if (name.empty()) {
    Fail("no zone name given");
    return kExitUsage;
  }
  int count = 0;
  bool ok = Execute(context, tag, "START TRANSACTION") && DeleteZoneRows(context, tag, name, &count);
  if (ok && count == 0) {
    Execute(context, tag, "ROLLBACK");
    Fail("no zone \"%s\"", name.c_str());
    return kExitFailed;
  }
  if (!ok || !Execute(context, tag, "COMMIT")) {
    Execute(context, tag, "ROLLBACK");
    Fail("deleting the zone \"%s\" failed; nothing was changed", name.c_str());
    return kExitFailed;
  }
  out.Print("Deleted zone %s\n", name.c_str());
  return kExitOk;
}

// Writes the rows of one zone inside the open transaction and checks them by reading them back.
bool WriteZone(MysqlDbContext& context, const DomainInfo& fileZone, const DbZoneImport& rows, int* replaced) {
  static const char* const tag = "DBTool::ImportZone";
  const DbZoneRow& z = rows.zone;
  if (!DeleteZoneRows(context, tag, z.zoneName, replaced)) return false;
  const bool reverse = InZoneNoCase(z.zoneName, "in-addr.arpa") || InZoneNoCase(z.zoneName, "ip6.arpa");
  auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
  if (ExecuteParamStatement(&context,
                            "INSERT INTO `DNSZones` (`ZoneName`, `Reverse`, `NameServer1`, `ResponsibleMailAddr`, "
                            "`Serial`, `Refresh`, `Retry`, `Expire`, `DefaultTTL`) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                            false, "sbssiiiii", z.zoneName.c_str(), reverse ? 1 : 0, orNull(z.nameServer1),
                            orNull(z.responsibleMailAddr), static_cast<int32_t>(z.serial),
                            static_cast<int32_t>(z.refresh), static_cast<int32_t>(z.retry),
                            static_cast<int32_t>(z.expire), static_cast<int32_t>(z.defaultTTL)) != 1)
    return false;
  int32_t id = 0;
  if (!WithConnection(context, tag, [&](SqlConnection* c) {
        std::unique_ptr<SqlResult> rs = c->CreateStatement()->ExecuteQuery("SELECT LAST_INSERT_ID()");
        if (rs->Next()) id = rs->GetInt(1);
      }) ||
      id <= 0)
    return false;
  for (const DbResourceRow& r : rows.resources) {
    if (ExecuteParamStatement(&context,
                              "INSERT INTO `DNSResources` (`ZoneId`, `RName`, `RType`, `RClass`, `TTL`, `RData`, "
                              "`Preference`) VALUES (?, ?, ?, ?, ?, ?, ?)",
                              false, "isssisi", id, r.rName.c_str(), r.rType.c_str(), r.rClass.c_str(),
                              static_cast<int32_t>(r.ttl), r.rData.c_str(), static_cast<int32_t>(r.preference)) != 1)
      return false;
  }

  DbZoneRow storedZone;
  std::vector<DbResourceRow> storedRecords;
  if (!ReadZoneRows(context, tag, id, &storedZone, &storedRecords)) return false;
  ZonePtr stored(DbZoneFromRows(storedZone, storedRecords));
  if (stored == nullptr) {
    Fail("the server would not load the zone row written for \"%s\"", z.zoneName.c_str());
    return false;
  }
  std::vector<std::string> differences =
      DbCompareZones(fileZone, *stored, static_cast<uint32_t>(storedZone.defaultTTL));
  for (const std::string& d : differences) Fail("%s", d.c_str());
  if (!differences.empty()) {
    Fail("the database would not give back the zone file's records");
    return false;
  }
  return true;
}

int ZonesImport(MysqlDbContext& context, ResultOutput& out, const std::string& path, std::string origin) {
  static const char* const tag = "DBTool::ImportZone";
  if (origin.empty()) {
    size_t slash = path.find_last_of('/');
    origin = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  origin = ZoneKey(origin);

  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    Fail("cannot open the zone file %s: %s", path.c_str(), std::strerror(errno));
    return kExitFailed;
  }
  ZonePtr zone(domain_info_new());
  int rc = zone ? domain_info_parse(zone.get(), file, origin.c_str()) : DNS_ERR_NO_ROOM;
  std::fclose(file);
  if (rc != 0) {
    Fail("cannot read the zone file %s (error %d)", path.c_str(), rc);
    return kExitFailed;
  }
  if (zone->count == 0) {
    Fail("no records read from the zone file %s", path.c_str());
    return kExitFailed;
  }

  DbZoneImport rows = DbRowsFromZone(*zone, origin);
  for (const std::string& p : rows.problems) Fail("%s", p.c_str());
  if (!rows.problems.empty()) {
    Fail("the zone file %s was not imported", path.c_str());
    return kExitFailed;
  }
  for (const std::string& n : rows.notes) Fail("note: %s", n.c_str());

  int replaced = 0;
  bool ok = Execute(context, tag, "START TRANSACTION") && WriteZone(context, *zone, rows, &replaced) &&
            Execute(context, tag, "COMMIT");
  if (!ok) {
    Execute(context, tag, "ROLLBACK");
    Fail("the zone file %s was not imported; nothing was changed", path.c_str());
    return kExitFailed;
  }
  out.Print("Imported zone %s: %d records%s\n", origin.c_str(), zone->count,
            replaced > 0 ? " (replacing the zone stored before)" : "");
  return kExitOk;
}

// ---- Command line ----

struct Command {
  std::string cfgFile = "dnscfg.ini";
  std::vector<std::string> words;
};

// The arity of each command: {group, verb, least, most} words after the verb.
struct CommandShape {
  const char* group;
  const char* verb;
  size_t least, most;
};
constexpr CommandShape kCommands[] = {
    {"settings", "show", 0, 1}, {"settings", "get", 1, 1}, {"settings", "set", 2, 2},
    {"settings", "delete", 1, 1}, {"zones", "list", 0, 0}, {"zones", "import", 1, 2},
    {"zones", "delete", 1, 1},
};

bool KnownCommand(const std::vector<std::string>& words) {
  if (words.size() < 2) return false;
  for (const CommandShape& c : kCommands)
    if (words[0] == c.group && words[1] == c.verb) return words.size() - 2 >= c.least && words.size() - 2 <= c.most;
  return false;
}

int Run(const Command& cmd, ResultOutput& out) {
  SettingsMap settings;
  if (!ReadSettingsFile(cmd.cfgFile.c_str(), settings)) {
    Fail("cannot read the settings file %s", cmd.cfgFile.c_str());
    return kExitFailed;
  }
  DNSDbClient client;
  client.ReadConnectionSettings(settings);
  if (!client.Configured()) {
    Fail("the settings file %s does not name a database (MySQLHost, MySQLDbName, MySQLUser and MySQLPass)",
         cmd.cfgFile.c_str());
    return kExitFailed;
  }
  MysqlDbContext context(&client, 0);
  if (!context.Begin(kTag)) {
    Fail("cannot use the database \"%s\" on \"%s\"", client.DbName(), client.Host());
    return kExitFailed;
  }

  const std::vector<std::string>& w = cmd.words;
  const std::string& group = w[0];
  const std::string& verb = w[1];
  int code = kExitUsage;
  if (group == "settings") {
    if (verb == "show") code = SettingsShow(context, out, w.size() > 2 ? w[2].c_str() : nullptr);
    if (verb == "get") code = SettingsGet(context, out, w[2]);
    if (verb == "set") code = SettingsSet(context, out, w[2], w[3]);
    if (verb == "delete") code = SettingsDelete(context, out, w[2]);
  } else {
    if (verb == "list") code = ZonesList(context, out);
    if (verb == "import") code = ZonesImport(context, out, w[2], w.size() > 3 ? w[3] : std::string());
    if (verb == "delete") code = ZonesDelete(context, out, w[2]);
  }
  context.End(kTag);
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  InstallExceptionTranslator();
  Command cmd;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h" || option == "-help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if ((option == "-cfgfile" || option == "--cfgfile") && i + 1 < argc) {
      cmd.cfgFile = argv[++i];
      continue;
    }
    std::fprintf(stderr, "%s: unknown option %s\n\n%s", kTag, option.c_str(), kUsage);
    return kExitUsage;
  }
  cmd.words.assign(argv + i, argv + argc);
  if (!KnownCommand(cmd.words)) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }

  ResultOutput out;
  StartLogAndWinsock(nullptr);
  int code = kExitFailed;
  RunReported(kTag, [&] { code = Run(cmd, out); });
  StopLogAndWinsock();
  return code;
}
