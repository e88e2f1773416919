#include "db/mysql_dns_server.h"

#include <cstdlib>

#include "db/zone_rows.h"
#include "dns/zone_file.h"
#include "server/database_module.h"
#include "shell/exceptions.h"
#include "shell/log.h"
#include "shell/platform.h"

namespace {
constexpr const char* kReloadZonesThread = "DNS::ReloadDNSZonesThread";
constexpr int32_t kSiteLoadSettings = 12011;
constexpr int32_t kSiteOnStart = 12012;
constexpr int32_t kSiteReloadZones = 12013;
constexpr int64_t kGraceMs = 5000;

// The leading decimal number of a text (blanks and a sign allowed before it), 0 without one;
// negative values and values past 32 bits read as 0.
uint32_t LeadingSeconds(const std::string& text) {
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  return value < 0 || value > 0xFFFFFFFFll ? 0u : static_cast<uint32_t>(value);
}
}  // namespace

extern "C" DNSServer* dnsserver_create_database_server() { return new MysqlDNSServer(); }

MysqlDNSServer::MysqlDNSServer(MysqlDNSCache* cache)
    : DNSServer(cache), client_(cache->Client()), dbCache_(cache) {}

MysqlDNSServer::~MysqlDNSServer() {
  // The base part no longer uses its cache once Run has returned; the cache goes first, with the
  // client and the cached zones.
  delete dbCache_;
  dbCache_ = nullptr;
  client_ = nullptr;
}

ThreadContext* MysqlDNSServer::CreateThreadContext(int32_t tag) { return new MysqlDbContext(client_, tag); }

bool MysqlDNSServer::LoadSettings(ThreadContext* context, SettingsMap& settings) {
  MysqlDbContext* db = dynamic_cast<MysqlDbContext*>(context);
  client_->ReadConnectionSettings(settings);
  dbMode_ = client_->Configured();
  if (dbMode_ && !EnsureDbReady(client_, db, "LoadSettings", true)) {
    dbMode_ = false;
    return false;
  }
  bool answer = ApplySettings(settings, false);
  if (!answer) return false;
  if (dbMode_ && db != nullptr) {
    SettingsMap dbSettings;
    bool loaded;
    {
      SpinRWGuard read(db->Lock(), kSiteLoadSettings, SpinRWGuard::Read);
      loaded = client_->LoadSettingsFromDb(db->Connection(), dbSettings, nullptr);
    }
    if (loaded) {
      answer = ApplySettings(dbSettings, true);
      if (answer) {
        const SettingValue* reload = FindSetting(dbSettings, "DNSZonesReload");
        reloadSeconds_ = reload != nullptr ? LeadingSeconds(reload->text) : 0;
      }
    }
  }
  if (db != nullptr) CloseDb(db, "LoadSettings");
  return answer;
}

bool MysqlDNSServer::OnStart(ThreadContext* context) {
  DNSServer::OnStart(context);
  MysqlDbContext* db = dynamic_cast<MysqlDbContext*>(context);
  if (dbMode_ && db != nullptr) {
    if (Log()) LogMessage("Loading DNS zones from DB...");
    SpinRWGuard read(db->Lock(), kSiteOnStart, SpinRWGuard::Read);
    RefreshDbZones(dbCache_, db->Connection(), Log());
  }
  lastPingTick_ = lastReloadTick_ = GetTickCount32();
  return true;
}

void MysqlDNSServer::StartThreads() {
  DNSServer::StartThreads();
  if (!dbMode_) return;
  int error = 0;
  if (!reloadThread_.Start([this] { ReloadDNSZonesThread(); }, &error))
    LogError("Reload DNS zones thread was not able to be created. GetLastError returned [%i]", error);
}

void MysqlDNSServer::StopThreads() {
  DNSServer::StopThreads();
  if (reloadThread_.Running() && !reloadThread_.Join(kGraceMs))
    LogError("Reload DNS zones thread did not properly terminate in %i seconds.", 5);
}

void MysqlDNSServer::OnStatusTick(ThreadContext* context) {
  if (!dbMode_ || client_->AppRowId() <= 0) return;
  const uint32_t now = GetTickCount32();
  if (lastPingTick_ != 0 && now - lastPingTick_ < pingIntervalSeconds_ * 1000u) return;
  if (Log()) LogMessage("Logging status...");
  PingVersions(dynamic_cast<MysqlDbContext*>(context));
  lastPingTick_ = now;
}

void MysqlDNSServer::ReloadDNSZones(MysqlDbContext* context) {
  const uint32_t seconds = reloadSeconds_;
  if (seconds == 0 || context == nullptr) return;
  const uint32_t now = GetTickCount32();
  if (lastReloadTick_ != 0 && now - lastReloadTick_ < seconds * 1000u) return;
  if (Log()) LogMessage("Reloading DNS zones from DB...");
  if (CheckConnection(context, "DNS::ReloadDNSZones")) {
    SpinRWGuard read(context->Lock(), kSiteReloadZones, SpinRWGuard::Read);
    RefreshDbZones(dbCache_, context->Connection(), Log());
  }
  lastReloadTick_ = now;
}

void MysqlDNSServer::ReloadDNSZonesThread() {
  InstallExceptionTranslator();
  MysqlDbContext* context = nullptr;
  RunReported(kReloadZonesThread, [&] {
    context = static_cast<MysqlDbContext*>(CreateThreadContext(0));
    if (!context->Begin(kReloadZonesThread)) return;
    // Wait for the server to be started, then reload once a second until it stops.
    Event* stop = stopEvent_;
    while (!started_.load()) {
      if (stop == nullptr || stop->Wait(100)) return;
    }
    while (!stop->Wait(1000) && started_.load()) ReloadDNSZones(context);
  });
  if (context != nullptr) {
    RunReported(kReloadZonesThread, [&] {
      context->End(kReloadZonesThread);
      delete context;
    });
  }
}

// ---- Zones ----

bool LoadDNSDomainInfoFromDb(SqlConnection* connection, DbZoneMap& zonesByName) {
  static const char* const kTag = "DC::LoadDNSDomainInfoFromDb";
  bool ok = false;
  DbGuarded(kTag, nullptr, [&] {
    if (!ConnectionOpen(connection, kTag)) return;
    std::unique_ptr<SqlPrepared> zonesQuery = connection->Prepare(
        "SELECT `Id`, `ZoneName`, `NameServer1`, `NameServer2`, `ResponsibleMailAddr`, `Serial`, `Refresh`, `Retry`, "
        "`Expire`, `DefaultTTL` FROM `DNSZones`");
    std::unique_ptr<SqlPrepared> recordsQuery = connection->Prepare(
        "SELECT `RName`, `RType`, `RClass`, `TTL`, `RData`, `Preference` FROM `DNSResources` WHERE `ZoneId`=?");
    std::unique_ptr<SqlResult> zones = zonesQuery->ExecuteQuery();
    while (zones->Next()) {
      DbZoneRow row;
      row.id = zones->GetInt64(1);
      row.zoneName = zones->GetString(2);
      row.nameServer1 = zones->GetString(3);
      row.responsibleMailAddr = zones->GetString(5);
      row.serial = zones->GetInt64(6);
      row.refresh = zones->GetInt64(7);
      row.retry = zones->GetInt64(8);
      row.expire = zones->GetInt64(9);
      row.defaultTTL = zones->GetInt64(10);
      std::string key;
      DomainInfo* zone = nullptr;
      if (!DbZoneFromRow(row, &key, &zone)) continue;
      // The zone is stored before its records are read, so a failure below leaves it with the
      // caller, who frees it.
      DomainInfo*& slot = zonesByName[key];
      if (slot != nullptr) domain_info_free(&slot);
      slot = zone;
      if (row.id < INT32_MIN || row.id > INT32_MAX) continue;
      recordsQuery->SetInt(1, static_cast<int32_t>(row.id));
      std::unique_ptr<SqlResult> records = recordsQuery->ExecuteQuery();
      while (records->Next()) {
        DbResourceRow r;
        r.rName = records->GetString(1);
        r.rType = records->GetString(2);
        r.rClass = records->GetString(3);
        r.ttl = records->GetInt64(4);
        r.rData = records->GetString(5);
        r.preference = records->GetInt64(6);
        if (DnsRecord* rec = DbRecordFromRow(r, zone, row.defaultTTL)) domain_info_add(zone, rec);
      }
    }
    ok = true;
  });
  return ok;
}

bool RefreshDbZones(DNSCache* cache, SqlConnection* connection, bool verbose) {
  DbZoneMap zonesByName;
  ListCachedDomains(cache, &zonesByName);
  const bool loadOk = LoadDNSDomainInfoFromDb(connection, zonesByName);
  int zones = 0, cached = 0, removed = 0;
  for (auto& [name, zone] : zonesByName) {
    if (zone != nullptr) {
      if (!loadOk) {
        domain_info_free(&zone);
        continue;
      }
      ++zones;
      if (verbose) LogMessage("DNS zone \"%s\" loaded from DB.", name.c_str());
      if (CacheDomainInfo(name.c_str(), cache, zone, false)) {
        ++cached;
      } else {
        if (verbose) LogMessage("Unable to cache DNS zone \"%s\".", name.c_str());
        domain_info_free(&zone);
      }
    } else if (loadOk) {
      if (RemoveDomainInfo(name.c_str(), cache)) {
        ++removed;
        if (verbose) LogMessage("DNS zone \"%s\" removed from cache.", name.c_str());
      } else if (verbose) {
        LogMessage("Unable to remove DNS zone \"%s\" removed from cache.", name.c_str());
      }
    }
  }
  if (verbose) LogMessage("Loaded %i DNS zones from DB, %i cached, %i removed from cache.", zones, cached, removed);
  return true;
}
