// The database module probe: the database backend is a shared module (linked to the MySQL
// connector) that the program loads at start. When it cannot be loaded, "Unable to load %s"
// names it and the server runs in file mode. The module resolves the server's classes from the
// executable and hands back the database-backed server through one C entry point.
// Used by the process entry on the main thread only.
#pragma once

#include <string>

class DNSServer;

// Entry point the module exports: creates the database-backed server.
extern "C" typedef DNSServer* (*CreateDatabaseServerFn)();
#define DNSSERVER_DB_ENTRY "dnsserver_create_database_server"
#define DNSSERVER_DB_MODULE "dnsserver_db.so"

class DatabaseModule {
 public:
  ~DatabaseModule() { Unload(); }
  // Looks for the module beside the executable, then in the installed module folder.
  // False (after "Unable to load %s") when it is not there or does not load.
  bool Load();
  bool Loaded() const { return create_ != nullptr; }
  DNSServer* CreateServer() const { return create_ ? create_() : nullptr; }
  void Unload();
  // True when the probe failed: the database client never touches the connector then.
  static bool Unavailable();

 private:
  void* handle_ = nullptr;
  CreateDatabaseServerFn create_ = nullptr;
};
