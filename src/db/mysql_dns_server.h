// The database-backed server: a DNSServer whose zone cache is a MysqlDNSCache holding the
// database client. It reads settings from the Settings table after the settings file, loads the
// zones of DNSZones and DNSResources into the zone cache as permanent entries before it starts,
// reloads them every DNSZonesReload seconds on its own thread, and pings its Versions row from
// the status tick. Nothing in the request path knows about the database.
//
// Owns: the MysqlDNSCache (and through it the client), the zone-reload thread. Does not own: the
// request pipeline and the other threads (DNSServer), the schema (db_schema.cc).
//
// Threads: LoadSettings and OnStart run on the main thread; OnStatusTick on the status thread
// and ReloadDNSZones on the zone-reload thread, each with a context of its own. Zones enter and
// leave the cache under the cache's lock, one at a time; a context lock (read) is held around
// every use of a connection, before the cache lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "db/db_client.h"
#include "dns/dns_cache.h"
#include "server/dns_server.h"

class MysqlDNSCache : public DNSCache {
 public:
  MysqlDNSCache() : client_(new DNSDbClient()) {}
  ~MysqlDNSCache() override { delete client_; }
  MysqlDNSCache(const MysqlDNSCache&) = delete;
  MysqlDNSCache& operator=(const MysqlDNSCache&) = delete;
  DNSDbClient* Client() const { return client_; }

 private:
  DNSDbClient* client_;
};

// Zone name -> zone, names compared exactly (the names are lower-cased when read).
using DbZoneMap = std::map<std::string, DomainInfo*>;

class MysqlDNSServer : public DNSServer {
 public:
  MysqlDNSServer() : MysqlDNSServer(new MysqlDNSCache()) {}
  bool OnStart(ThreadContext* context) override;
  void StartThreads() override;
  void StopThreads() override;
  void OnStatusTick(ThreadContext* context) override;
  ~MysqlDNSServer() override;
  ThreadContext* CreateThreadContext(int32_t tag) override;
  bool LoadSettings(ThreadContext* context, SettingsMap& settings) override;
  bool UsesDatabase() const override { return dbMode_; }

  DNSDbClient* Client() const { return client_; }
  MysqlDNSCache* DbCache() const { return dbCache_; }
  uint32_t ZonesReloadSeconds() const { return reloadSeconds_.load(); }

  // One reload when its period has passed (zone-reload thread).
  void ReloadDNSZones(MysqlDbContext* context);

 private:
  explicit MysqlDNSServer(MysqlDNSCache* cache);
  void ReloadDNSZonesThread();

  bool dbMode_ = false;
  DNSDbClient* client_;
  MysqlDNSCache* dbCache_;
  uint32_t pingIntervalSeconds_ = 10;
  uint32_t lastPingTick_ = 0;
  std::atomic<uint32_t> reloadSeconds_{0};
  uint32_t lastReloadTick_ = 0;
  ManagedThread reloadThread_;
};

// Reads every zone with its records; zones already in zonesByName under the same name are freed
// and replaced. False (after the report) when the reading failed; zones read so far stay in the
// map for the caller to free.
bool LoadDNSDomainInfoFromDb(SqlConnection* connection, DbZoneMap& zonesByName);
// Brings the zone cache in step with the database: zones read enter the cache (permanently),
// cached names that the database no longer has leave it; nothing changes when reading failed.
bool RefreshDbZones(DNSCache* cache, SqlConnection* connection, bool verbose);

// The module's entry point: the database-backed server.
extern "C" DNSServer* dnsserver_create_database_server();
