// DNSServer: the one object that is the DNS server. It owns the service and upstream UDP engines,
// the forward slots, the response rings, the zone cache (unless given one), the client IP control,
// the allowed and denied domain lists, the MYIP and decode-IP domain sets, the report-URL list and
// the background threads. Virtual operations let the database-backed server add the database
// without touching the pipeline.
//
// Threads: Run blocks the main thread; the request pipeline runs on the service engine's packet
// thread, the upstream answers on the upstream engine's packet thread, plus the status, reload and
// report threads. Shared state is guarded: the upstream lock over the hosts and the forward slots,
// a lock per response ring, the cache's own lock, and reader/writer locks over the domain sets and
// the report list. Settings are applied on the main thread (and again by the database-backed
// server's reloads) while requests are served.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "acl/domain_list.h"
#include "acl/ip_access_control.h"
#include "acl/report_urls.h"
#include "config/settings_file.h"
#include "dns/dns_message.h"
#include "net/udp_engine.h"
#include "server/domain_set.h"
#include "server/response_ring.h"
#include "server/thread_context.h"
#include "shell/address.h"
#include "shell/locks.h"
#include "shell/log.h"
#include "shell/platform.h"

class DNSCache;

// Result codes of the request pipeline beyond the local answers 0 to 4.
enum PipelineResult : int {
  kNotLocal = 0,
  kFromRing = 1,
  kFromZoneCache = 2,
  kFromZoneFile = 3,
  kFromMyIP = 4,
  kParseErrorBase = 115000,    // 115001..115006 for codec errors -1..-6
  kBadDomain = 115007,         // a name character outside the name character set
  kEmptyDomain = 115101,
  kDomainRefused = 115201,
  kDomainRejected = 115202,
};

// The stop event of the process, created by main before Run and set by the stop signals.
// Null when the server runs without one (Run then makes its own). Read by the URL fetches of any
// thread, hence atomic.
extern std::atomic<Event*> g_processStopEvent;

// One request sent upstream, found again from the id of the upstream answer. All zero = free.
struct ForwardSlot {
  int64_t sentTime;             // seconds since 1970; 0 = free
  ForwardSlot* partner;         // the same request sent to the other host
  SocketAddress client;         // IPv4 255.255.255.255 when there is no one to answer
  AddressRecord local;          // the address the request arrived on
  int32_t socket;
  uint16_t clientId;            // network order, as in the message
  uint16_t upstreamId;          // slot number + 1, network order
};

// The gate of the sends that cross from one engine's packet thread to the other engine: a forward
// from the service thread through the upstream engine, a relayed answer from the upstream thread
// through the service engine. Run opens it once both engines are started and closes it before
// either is stopped, waiting for the sends already inside: an engine is never started or stopped
// under a send of the other thread. Senders never wait; a closed gate makes them skip the send.
class CrossSendGate {
 public:
  bool Enter() {
    inside_.fetch_add(1);
    if (open_.load()) return true;
    inside_.fetch_sub(1);
    return false;
  }
  void Leave() { inside_.fetch_sub(1); }
  void Open() { open_.store(true); }
  void CloseAndDrain();

 private:
  std::atomic<bool> open_{false};
  std::atomic<int> inside_{0};
};

class DNSServer {
 public:
  static constexpr int kForwardSlots = 65520;
  static constexpr size_t kTextSize = 260;

  explicit DNSServer(DNSCache* cache);
  virtual bool OnStart(ThreadContext* context);
  virtual void OnStop(ThreadContext* context);
  virtual void StartThreads();
  virtual void StopThreads();
  virtual void OnStatusTick(ThreadContext* context);
  virtual ~DNSServer();
  virtual ThreadContext* CreateThreadContext(int32_t tag);
  virtual bool LoadSettings(ThreadContext* context, SettingsMap& settings);
  // Whether the settings put the server on the database (the database-backed server only).
  virtual bool UsesDatabase() const { return false; }

  bool LoadConfig(ThreadContext* context, const char* fileName);
  void Run(ThreadContext* context);

  // Settings: every row in its order; false after "Unable to set %s=%s" (or a URL message).
  bool ApplySettings(const SettingsMap& settings, bool reload);
  void PrintConfiguration();

  // Address setters used by the settings; false when the text is not an address.
  bool SetServiceAddress(const char* text);
  bool SetSecondServiceAddress(const char* text);
  bool SetFromAddress(const char* text);
  void SetSecondServicePort(uint16_t port);
  bool IsIPv6Available();

  // Upstream hosts (also set by the report thread).
  bool SetDNSHost(const char* text);
  bool SetDNSHost2(const char* text);

  // Domain sets; text null switches the set off and keeps its entries. Always true.
  bool SetMyIPDomains(const char* text);
  bool SetDecodeIPDomains(const char* text);
  bool IsMyIPDomain(const char* name);
  bool DecodeDomainIP(const char* name, char* out, size_t outSize);

  // Report URLs and the upstream host fetched from them.
  bool SetReportUrls(const char* text);
  bool NextReportUrl(std::string* url);
  bool FetchDnsHostFromUrl(const char* url, const char* list);

  // The request pipeline (service engine thread) and the upstream answers (upstream engine thread).
  void HandleClientRequest(int socket, const sockaddr* client, const AddressRecord* local,
                           uint16_t length, uint8_t* message);
  int MakeLocalResponse(const sockaddr* client, uint16_t* length, uint8_t* message,
                        DnsHeader* header, DnsQuestion* question, char* nameBuffer);
  // nameBuffer: 2048 bytes that hold the parsed names (the question's name points into it).
  int ParseAndLogResponse(uint16_t length, const uint8_t* message, DnsHeader* header,
                          DnsQuestion* question, DnsRecord* records, char* nameBuffer, bool store);
  int ForwardRequest(int socket, const sockaddr* client, const AddressRecord* local,
                     uint16_t length, uint8_t* message);
  void HandleUpstreamResponse(int socket, const sockaddr* upstream, const AddressRecord* local,
                              uint16_t length, uint8_t* message);

  // Read-only views for tests and the database-backed server.
  bool Log() const { return log_; }
  uint32_t CacheTTL() const { return cacheTTL_; }
  DNSCache* Cache() const { return cache_; }
  bool Started() const { return started_.load(); }
  int FreeForwardSlots();
  UdpEngine& ServiceEngine() { return *serviceEngine_; }
  UdpEngine& UpstreamEngine() { return *upstreamEngine_; }

 protected:
  friend struct ServerSettingRows;
  // Background thread bodies.
  void StatusThread();
  void ReloadThread();
  void ReportThread();
  // Steps 2 and 3 of the common pattern; false when the thread should end without its
  // "Terminated." line (stopped before the server ever started).
  template <class Tick>
  bool ThreadLoop(Tick&& tick);
  void SendToClient(int socket, const sockaddr* client, const AddressRecord* local,
                    uint16_t length, const uint8_t* message);
  bool SetUpstreamHost(char* field, const char* text, int32_t clearSite, int32_t setSite);
  void AccessLog(const char* fmt, ...) DNS_PRINTF(2, 3);

  Event* stopEvent_ = nullptr;
  std::unique_ptr<Event> ownStopEvent_;
  std::atomic<bool> started_{false};
  std::unique_ptr<UdpEngine> serviceEngine_;
  std::unique_ptr<UdpEngine> upstreamEngine_;
  struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
  };
  // Zeroed pages from the system: slots cost memory only once requests have been forwarded.
  std::unique_ptr<ForwardSlot[], FreeDeleter> slots_;
  bool slotsUsed_ = false;  // a slot may be non-zero (under the upstream lock)
  int nextSlot_ = 0;
  ResponseRings rings_;
  bool ipv6KnownAvailable_ = false;
  bool ipv6KnownUnavailable_ = false;
  bool serviceIPv6_ = false;
  std::atomic<bool> upstreamIPv6_{false};
  AddressRecord serviceAddress_;
  uint16_t servicePort_ = 53;
  AddressRecord secondServiceAddress_;
  uint16_t secondServicePort_ = 53;
  AddressRecord fromAddress_;
  char dnsHost_[256] = {0};
  uint16_t dnsPort_ = 53;        // the hosts and ports are guarded by upstreamLock_
  char dnsHost2_[256] = {0};
  uint16_t dnsPort2_ = 53;
  std::atomic<uint32_t> dnsTimeout_{10};
  std::atomic<uint32_t> cacheTTL_{0};
  std::atomic<bool> log_{false};
  std::atomic<bool> dump_{false};
  // The access-log path; a settings reload may replace it while the packet threads write lines.
  char accessLogFile_[kTextSize] = {0};  // guarded by accessLogLock_
  std::atomic<bool> accessLogOn_{false};
  mutable SpinRWLock accessLogLock_;
  std::unique_ptr<DNSCache> ownedCache_;
  DNSCache* cache_ = nullptr;
  IPAccessControl ipControl_;
  AllowedDomainList allowedDomains_;
  DeniedDomainList deniedDomains_;
  std::atomic<bool> allowExternalDomains_{false};
  DomainSet decodeIPDomains_;
  bool decodeIPOn_ = false;  // guarded by decodeIPLock_
  DomainSet myIPDomains_;
  bool myIPOn_ = false;  // guarded by myIPLock_
  char userAgent_[kTextSize] = {0};
  ReportUrlList reportUrls_;
  std::atomic<uint32_t> reloadSeconds_{0};
  std::atomic<uint32_t> reportSeconds_{0};
  uint32_t lastDomainReload_ = 0;
  uint32_t lastHostReload_ = 0;
  ManagedThread statusThread_, reloadThread_, reportThread_;
  CriticalLock upstreamLock_;
  SpinRWLock decodeIPLock_, myIPLock_;
  CrossSendGate crossSends_;
};
