// The status, reload and report threads, and the report-URL list they work through.
#include <cstring>

#include "server/dns_server.h"
#include "shell/exceptions.h"
#include "shell/log.h"

namespace {
constexpr const char* kStatusThread = "DNS::StatusThread";
constexpr const char* kReloadThread = "DNS::ReloadThread";
constexpr const char* kReportThread = "DNS::ReportThread";
constexpr int64_t kGraceMs = 5000;
}  // namespace

void DNSServer::StartThreads() {
  int error = 0;
  if (!statusThread_.Start([this] { StatusThread(); }, &error))
    LogError("Status thread was not able to be created. GetLastError returned [%i]", error);
  if (!reloadThread_.Start([this] { ReloadThread(); }, &error))
    LogError("Reload domains thread was not able to be created. GetLastError returned [%i]", error);
  if (!reportThread_.Start([this] { ReportThread(); }, &error))
    LogError("Reload dns host thread was not able to be created. GetLastError returned [%i]", error);
}

void DNSServer::StopThreads() {
  if (reloadThread_.Running() && !reloadThread_.Join(kGraceMs))
    LogError("Reload domains thread did not properly terminate in %i seconds.", 5);
  if (reportThread_.Running() && !reportThread_.Join(kGraceMs))
    LogError("Reload dns host thread did not properly terminate in %i seconds.", 5);
  if (statusThread_.Running() && !statusThread_.Join(kGraceMs))
    LogError("Status thread did not properly terminate in %i seconds.", 5);
}

template <class Tick>
bool DNSServer::ThreadLoop(Tick&& tick) {
  Event* stop = stopEvent_;
  while (!started_.load()) {
    if (stop == nullptr) return false;
    // Stopped before the server ever started: end without the "Terminated." line. A stop that
    // came while this wait missed the start still counts as a stop of a started server.
    if (stop->Wait(100)) return started_.load();
  }
  for (;;) {
    if (stop->Wait(1000) || !started_.load()) break;
    tick();
  }
  return true;
}

void DNSServer::StatusThread() {
  InstallExceptionTranslator();
  if (log_) LogMessage("[%s] Started.", kStatusThread);
  ThreadContext* context = nullptr;
  bool ranToEnd = true;
  RunReported(kStatusThread, [&] {
    context = CreateThreadContext(0);
    if (context->Begin(kStatusThread)) ranToEnd = ThreadLoop([&] { OnStatusTick(context); });
  });
  if (context != nullptr) {
    RunReported(kStatusThread, [&] {
      context->End(kStatusThread);
      delete context;
    });
  }
  if (ranToEnd && log_) LogMessage("[%s] Terminated.", kStatusThread);
}

void DNSServer::ReloadThread() {
  InstallExceptionTranslator();
  if (log_) LogMessage("[%s] Started.", kReloadThread);
  bool ranToEnd = true;
  RunReported(kReloadThread, [&] {
    Event* stop = stopEvent_;  // a thread left behind at the stop must not see it cleared
    ranToEnd = ThreadLoop([&] {
      if (reloadSeconds_ == 0 || stop == nullptr || stop->Wait(0) || !started_.load()) return;
      uint32_t now = GetTickCount32();
      if (lastDomainReload_ != 0 && now - lastDomainReload_ < reloadSeconds_ * 1000u) return;
      if (log_) LogMessage("Reloading domains...");
      allowedDomains_.Reload();
      deniedDomains_.Reload();
      lastDomainReload_ = now;
    });
  });
  if (ranToEnd && log_) LogMessage("[%s] Terminated.", kReloadThread);
}

void DNSServer::ReportThread() {
  InstallExceptionTranslator();
  if (log_) LogMessage("[%s] Started.", kReportThread);
  bool ranToEnd = true;
  RunReported(kReportThread, [&] {
    std::string url;
    ranToEnd = ThreadLoop([&] {
      if (reportSeconds_ == 0) return;
      uint32_t now = GetTickCount32();
      if (lastHostReload_ != 0 && now - lastHostReload_ < reportSeconds_ * 1000u) return;
      if (log_) LogMessage("Reloading DNS server host...");
      if (NextReportUrl(&url)) FetchDnsHostFromUrl(url.c_str(), nullptr);
      lastHostReload_ = now;
    });
  });
  if (ranToEnd && log_) LogMessage("[%s] Terminated.", kReportThread);
}

bool DNSServer::SetReportUrls(const char* text) {
  return reportUrls_.SetReportUrls(text, [this](const std::string& host) { return SetDNSHost(host.c_str()); });
}

bool DNSServer::NextReportUrl(std::string* url) { return reportUrls_.NextReportUrl(url); }

bool DNSServer::FetchDnsHostFromUrl(const char* url, const char* list) {
  return reportUrls_.FetchDnsHostFromUrl(url, list, [this](const std::string& host) { return SetDNSHost(host.c_str()); });
}
