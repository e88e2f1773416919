// Applying the settings map to the server, row by row, and printing the configuration.
#include "server/server_settings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "dns/dns_cache.h"
#include "server/dns_server.h"
#include "shell/log.h"

bool ParsePortSetting(const char* text, uint16_t* port) {
  uint16_t value = static_cast<uint16_t>(std::atoi(text));
  if (value == 0) return false;
  *port = value;
  return true;
}

bool ParseSecondsSetting(const char* text, uint32_t* seconds) {
  if (!std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  uint64_t value = 0;
  const char* p = text;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > 0xFFFFFFFFull) value = 0xFFFFFFFFull;
    ++p;
  }
  switch (std::toupper(static_cast<unsigned char>(*p))) {
    case 'D': value *= 86400; break;
    case 'H': value *= 3600; break;
    case 'M': value *= 60; break;
    case 'W': value *= 604800; break;
    default: break;
  }
  *seconds = value > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
  return true;
}

// The rows reach into the server; they are its friends.
struct ServerSettingRows {
  static bool Flag(const char* text) { return text != nullptr && IsTrueValue(text); }

  static bool Path(const char* text, char* field, size_t size) {
    if (text == nullptr) text = "";
    if (std::strlen(text) >= size) return false;
    std::strcpy(field, text);
    return true;
  }

  static bool Log(DNSServer& s, const char* /*present*/, const char* text) {
    if (text == nullptr) return true;  // no default: the constructor's off stays
    bool overwrite = IsOverwriteValue(text);
    bool on = overwrite || IsTrueValue(text);
    s.log_ = on;
    s.cache_->SetLog(on);
    s.ipControl_.SetVerbose(on);
    s.reportUrls_.SetLog(on);
    if (overwrite) RequestLogTruncate();
    return true;
  }
  static bool Dump(DNSServer& s, const char* /*present*/, const char* text) {
    if (text != nullptr) s.dump_ = Flag(text);
    return true;
  }
  static bool SrvIPv6(DNSServer& s, const char* /*present*/, const char* text) {
    if (text == nullptr) return true;
    bool on = Flag(text);
    if (on && !s.IsIPv6Available()) return false;
    s.serviceIPv6_ = on;
    return true;
  }
  static bool CacheTTL(DNSServer& s, const char* /*present*/, const char* text) {
    if (text == nullptr) return true;
    uint32_t seconds;
    if (!ParseSecondsSetting(text, &seconds)) return false;
    s.cacheTTL_ = seconds;
    s.cache_->SetTTL(seconds);
    return true;
  }
  static bool DnsHost(DNSServer& s, const char* /*present*/, const char* text) {
    if (text != nullptr && std::strlen(text) > 255) return false;
    return s.SetDNSHost(text);
  }
  static bool DnsHost2(DNSServer& s, const char* /*present*/, const char* text) {
    if (text != nullptr && std::strlen(text) > 255) return false;
    return s.SetDNSHost2(text);
  }
  static bool Port(const char* text, uint16_t* field) {
    if (text == nullptr) {
      *field = 53;
      return true;
    }
    return ParsePortSetting(text, field);
  }
  // The upstream ports are read by forwards under the upstream lock.
  static bool UpstreamPort(DNSServer& s, const char* text, uint16_t* field, int32_t site) {
    uint16_t port = 53;
    if (!Port(text, &port)) return false;
    CriticalLockGuard guard(s.upstreamLock_, site);
    *field = port;
    return true;
  }
  static bool DnsPort(DNSServer& s, const char* /*present*/, const char* text) {
    return UpstreamPort(s, text, &s.dnsPort_, 10211);
  }
  static bool DnsPort2(DNSServer& s, const char* /*present*/, const char* text) {
    return UpstreamPort(s, text, &s.dnsPort2_, 10212);
  }
  static bool SrvIP(DNSServer& s, const char* /*present*/, const char* text) { return s.SetServiceAddress(text); }
  static bool SrvPort(DNSServer& s, const char* /*present*/, const char* text) { return Port(text, &s.servicePort_); }
  static bool SrvIP2(DNSServer& s, const char* /*present*/, const char* text) { return s.SetSecondServiceAddress(text); }
  static bool SrvPort2(DNSServer& s, const char* /*present*/, const char* text) {
    uint16_t port = 53;
    if (!Port(text, &port)) return false;
    s.SetSecondServicePort(port);
    return true;
  }
  static bool FromIP(DNSServer& s, const char* /*present*/, const char* text) { return s.SetFromAddress(text); }
  static bool DnsTimeout(DNSServer& s, const char* /*present*/, const char* text) {
    if (text == nullptr) return true;
    uint32_t seconds;
    if (!ParseSecondsSetting(text, &seconds) || seconds == 0) return false;
    s.dnsTimeout_ = seconds;
    return true;
  }
  // The packet threads copy the path under its lock for every access-log line.
  static bool AccessLogFile(DNSServer& s, const char* /*present*/, const char* text) {
    SpinRWGuard guard(s.accessLogLock_, 10114, SpinRWGuard::Write);
    if (!Path(text, s.accessLogFile_, sizeof(s.accessLogFile_))) return false;
    s.accessLogOn_ = s.accessLogFile_[0] != '\0';
    return true;
  }
  static bool DomainsDir(DNSServer& s, const char* /*present*/, const char* text) {
    if (text != nullptr && std::strlen(text) >= DNSServer::kTextSize) return false;
    return s.cache_->Directory().SetDirectory(text ? text : "");
  }
  static bool DomainsFile(DNSServer& s, const char* /*present*/, const char* text) {
    if (text != nullptr && std::strlen(text) >= DNSServer::kTextSize) return false;
    return s.cache_->Directory().SetIndexFile(text ? text : "");
  }
  static bool UserAgent(DNSServer& s, const char* /*present*/, const char* text) {
    if (!Path(text, s.userAgent_, sizeof(s.userAgent_))) return false;
    s.allowedDomains_.SetUserAgent(s.userAgent_);
    s.deniedDomains_.SetUserAgent(s.userAgent_);
    s.reportUrls_.SetUserAgent(s.userAgent_);
    return true;
  }
  static bool AllowFrom(DNSServer& s, const char* present, const char* text) {
    if (text == nullptr) return s.ipControl_.SetAllowList(nullptr);
    if (strcasecmp(present, "AllowFromFile") == 0) return s.ipControl_.LoadListFile(text, true);
    return s.ipControl_.SetAllowList(text);
  }
  static bool DenyFrom(DNSServer& s, const char* present, const char* text) {
    if (text == nullptr) return s.ipControl_.SetDenyList(nullptr);
    if (strcasecmp(present, "DenyFromFile") == 0) return s.ipControl_.LoadListFile(text, false);
    return s.ipControl_.SetDenyList(text);
  }
  static bool Order(DNSServer& s, const char* /*present*/, const char* text) { return s.ipControl_.SetOrder(text ? text : "DenyAllow"); }
  static bool Allowed(DNSServer& s, const char* present, const char* text) {
    if (text == nullptr) return s.allowedDomains_.SetFromText(nullptr);
    if (strcasecmp(present, "AllowedDomains") == 0) return s.allowedDomains_.SetFromText(text);
    if (strcasecmp(present, "AllowedFile") == 0) return s.allowedDomains_.LoadFromFile(text);
    return s.allowedDomains_.LoadFromUrls(text);
  }
  static bool Denied(DNSServer& s, const char* present, const char* text) {
    if (text == nullptr) return s.deniedDomains_.SetFromText(nullptr);
    if (strcasecmp(present, "DeniedDomains") == 0) return s.deniedDomains_.SetFromText(text);
    if (strcasecmp(present, "DeniedFile") == 0) return s.deniedDomains_.LoadFromFile(text);
    return s.deniedDomains_.LoadFromUrl(text);
  }
  static bool AllowExternal(DNSServer& s, const char* /*present*/, const char* text) {
    s.allowExternalDomains_ = Flag(text);
    return true;
  }
  static bool DecodeIP(DNSServer& s, const char* /*present*/, const char* text) { return s.SetDecodeIPDomains(text); }
  static bool MyIP(DNSServer& s, const char* /*present*/, const char* text) { return s.SetMyIPDomains(text); }
  static bool ReportUrl(DNSServer& s, const char* /*present*/, const char* text) { return s.SetReportUrls(text); }
  static bool ReloadSeconds(DNSServer& s, const char* /*present*/, const char* text) {
    s.reloadSeconds_ = text ? static_cast<uint32_t>(std::atoi(text)) : 0;
    return true;
  }
  static bool ReportSeconds(DNSServer& s, const char* /*present*/, const char* text) {
    s.reportSeconds_ = text ? static_cast<uint32_t>(std::atoi(text)) : 0;
    return true;
  }
  // "AllowedUrl%i" / "ReportUrl%i" for i = 1..9, joined with ","; read on every application.
  static bool NumberedUrls(DNSServer& s, const SettingsMap& settings);
};

namespace {

using R = ServerSettingRows;

const SettingRow kRows[] = {
    {{"Log"}, "flag, or \"overwrite\"", "none (off)", false,
     "progress lines, the configuration print, thread start and end lines; \"overwrite\" also truncates the log file once", R::Log},
    {{"Dump"}, "flag", "none (off)", false, "hex dumps of datagrams", R::Dump},
    {{"SrvIPv6"}, "flag", "none (off)", false, "serve on IPv6; refused where IPv6 is not available", R::SrvIPv6},
    {{"DNSCacheTTL"}, "seconds (digits, optional unit D, H, M or W), 0 allowed", "none (0: no cache)", false,
     "time to keep upstream answers and zones read from files; 0 turns both caches off (zone files are "
     "then read at every query, and database zones answer nothing)",
     R::CacheTTL},
    {{"DNSHost"}, "host (1 to 255 characters that resolve)", "empty: no upstream server", false,
     "first upstream DNS server; an IPv6 address turns the upstream side to IPv6", R::DnsHost},
    {{"DNSPort"}, "port", "53", false, "port of DNSHost", R::DnsPort},
    {{"DNSHost2"}, "host", "empty: no second upstream", false, "second upstream DNS server", R::DnsHost2},
    {{"DNSPort2"}, "port", "53", false, "port of DNSHost2", R::DnsPort2},
    {{"SrvIP"}, "address or \"ANY\"", "ANY", false,
     "service address; ANY: every address (IPv6 when SrvIPv6 is on, else IPv4)", R::SrvIP},
    {{"SrvPort"}, "port", "53", false, "service port", R::SrvPort},
    {{"SrvIP2"}, "address or \"NO\"", "NO", false, "second service address; NO: none", R::SrvIP2},
    {{"SrvPort2"}, "port", "53", false,
     "second service port; when it differs from SrvPort and SrvIP2 is NO, the service address is bound on it too", R::SrvPort2},
    {{"FromIP"}, "address or \"ANY\"", "ANY", false,
     "local address of the upstream socket; ANY: every address (IPv6 when an upstream server is IPv6)", R::FromIP},
    {{"DNSTimeout"}, "seconds, above 0", "none (10)", false, "time to wait for an upstream answer", R::DnsTimeout},
    {{"AccessLogFile"}, "path", "empty: no access log", false,
     "file of the access log: one line a request and a response (access-log.md)", R::AccessLogFile},
    {{"DNSDomainsDir"}, "path", "empty", false, "directory of zone files named after their domains (zone-files.md)",
     R::DomainsDir},
    {{"DNSDomainsFile"}, "path", "empty", false,
     "index file mapping domains to zone files; when set, it is used instead of searching the directory "
     "(zone-files.md)",
     R::DomainsFile},
    {{"UserAgent"}, "text of at most 259 characters", "empty (\"Mozilla\" is sent)", false,
     "user agent of every URL fetch", R::UserAgent},
    {{"AllowFromFile", "AllowFrom"}, "path, else list", "empty allow list", false, "client addresses allowed", R::AllowFrom},
    {{"DenyFromFile", "DenyFrom"}, "path, else list", "empty deny list", false, "client addresses denied", R::DenyFrom},
    {{"AllowDenyFromOrder", "AllowDenyOrder"}, "\"AllowDeny\" or \"DenyAllow\"", "DenyAllow", false,
     "order in which the client allow and deny lists apply", R::Order},
    {{"AllowedDomains", "AllowedFile", "AllowedUrl"}, "list, else path, else URL list", "off: every name allowed", false,
     "allowed domains", R::Allowed},
    {{"DeniedDomains", "DeniedFile", "DeniedUrl"}, "list, else path, else URL", "off: no name denied", false,
     "denied domains", R::Denied},
    {{"AllowExternalDomains"}, "flag", "off", true,
     "names no local source answers are forwarded upstream; off: such requests are dropped", R::AllowExternal},
    {{"DecodeIPDomains"}, "list", "off", true, "domains whose first label encodes a client address", R::DecodeIP},
    {{"MyIPDomains"}, "list", "off", true, "domains answered with the client's own address", R::MyIP},
    {{"ReportUrl"}, "URL list", "empty list", false, "URLs naming the upstream host", R::ReportUrl},
    {{"AllowedUrl1", "ReportUrl1"}, "URL each (AllowedUrl1 to AllowedUrl9, ReportUrl1 to ReportUrl9)", "nothing", false,
     "extra URLs of the allowed list and of the report list", nullptr},
    {{"ReloadSeconds"}, "number", "0: no reload", false,
     "interval in seconds at which the domain lists are read again from their files or URLs", R::ReloadSeconds},
    {{"ReportSeconds"}, "number", "0: no report", false,
     "interval in seconds at which DNSHost is fetched from the next report URL", R::ReportSeconds},
};

}  // namespace

const SettingRow* SettingRows(size_t* count) {
  *count = sizeof(kRows) / sizeof(kRows[0]);
  return kRows;
}

bool ServerSettingRows::NumberedUrls(DNSServer& s, const SettingsMap& settings) {
  struct Group {
    const char* format;
    const char* tooLong;
    const char* joinedName;
  } groups[] = {{"AllowedUrl%i", "Domains Url too long", "AllowedUrls"},
                {"ReportUrl%i", "Report Url too long", "ReportUrls"}};
  for (const Group& g : groups) {
    std::string joined;
    for (int i = 1; i <= 9; ++i) {
      char key[32];
      std::snprintf(key, sizeof(key), g.format, i);
      const SettingValue* value = FindSetting(settings, key);
      if (value == nullptr || value->text.empty()) continue;
      size_t extra = value->text.size() + (joined.empty() ? 0 : 1);
      if (value->text.size() > 259 || joined.size() + extra > 1039) {
        LogError("%s", g.tooLong);
        return false;
      }
      if (!joined.empty()) joined += ",";
      joined += value->text;
    }
    if (joined.empty()) continue;
    bool ok = &g == &groups[0] ? s.allowedDomains_.LoadFromUrls(joined.c_str()) : s.SetReportUrls(joined.c_str());
    if (!ok) {
      LogError("Unable to set %s=%s", g.joinedName, joined.c_str());
      return false;
    }
  }
  return true;
}

bool DNSServer::ApplySettings(const SettingsMap& settings, bool reload) {
  for (const SettingRow& row : kRows) {
    if (row.apply == nullptr) {
      if (!ServerSettingRows::NumberedUrls(*this, settings)) return false;
      continue;
    }
    const char* name = nullptr;
    const SettingValue* value = nullptr;
    for (const char* alternative : row.names) {
      if (alternative == nullptr) break;
      if ((value = FindSetting(settings, alternative)) != nullptr) {
        name = alternative;
        break;
      }
    }
    if (value == nullptr && reload && !row.always) continue;
    const char* text = value ? value->text.c_str() : nullptr;
    if (!row.apply(*this, name ? name : "", text)) {
      LogError("Unable to set %s=%s", name ? name : row.names[0], text ? text : "");
      return false;
    }
  }
  return true;
}

void DNSServer::PrintConfiguration() {
  char text[kAddressTextSize];
  if (serviceIPv6_) LogRaw("Service IPv6: ON\n");
  if (upstreamIPv6_) LogRaw("Client IPv6: ON\n");
  if (IsAnyAddress(serviceAddress_)) {
    LogRaw("Service IP: ANY\n");
  } else {
    AddressToText(serviceAddress_.family, serviceAddress_.addr, text, sizeof(text), serviceAddress_.family == AF_INET6);
    LogRaw("Service IP: %s\n", text);
  }
  LogRaw("Service Port: %hu\n", servicePort_);
  if (!IsNoneAddress(secondServiceAddress_)) {
    AddressToText(secondServiceAddress_.family, secondServiceAddress_.addr, text, sizeof(text),
                  secondServiceAddress_.family == AF_INET6);
    LogRaw("Service IP 2: %s\n", text);
    LogRaw("Service Port 2: %hu\n", secondServicePort_);
  }
  if (IsAnyAddress(fromAddress_)) {
    LogRaw("From IP: ANY\n");
  } else {
    AddressToText(fromAddress_.family, fromAddress_.addr, text, sizeof(text), fromAddress_.family == AF_INET6);
    LogRaw("From IP: %s\n", text);
  }
  {
    CriticalLockGuard guard(upstreamLock_, 10210);
    if (dnsHost_[0] != '\0') {
      LogRaw("DNS Server Host: %s\n", dnsHost_);
      LogRaw("DNS Server Port: %hu\n", dnsPort_);
    }
    if (dnsHost_[0] == '\0' && dnsHost2_[0] == '\0') LogRaw("DNS Server is not specified\n");
    if (dnsHost2_[0] != '\0') {
      LogRaw("DNS Server 2 Host: %s\n", dnsHost2_);
      LogRaw("DNS Server 2 Port: %hu\n", dnsPort2_);
    }
  }
  LogRaw("DNS Timeout: %u sec.\n", dnsTimeout_.load());
  {
    SpinRWGuard guard(accessLogLock_, 10115, SpinRWGuard::Read);
    if (accessLogFile_[0] != '\0') LogRaw("Access Log File: %s\n", accessLogFile_);
  }
  if (cacheTTL_ != 0)
    LogRaw("DNS Cache TTL: %u sec.\n", cacheTTL_.load());
  else
    LogRaw("No DNS Cache.\n");
  DNSDirectory& directory = cache_->Directory();
  const std::string dir = directory.DirectoryPath(), index = directory.IndexFilePath();
  if (!dir.empty()) LogRaw("DNS Domains Directory: %s\n", dir.c_str());
  if (!index.empty()) LogRaw("DNS Domains File: %s\n", index.c_str());
  if (reloadSeconds_ != 0) LogRaw("\nReload domains every %u sec.\n", reloadSeconds_.load());
  if (reportSeconds_ != 0) LogRaw("\nReload DNS Server Host every %u sec.\n", reportSeconds_.load());
  ipControl_.Print();
  allowedDomains_.Print();
  deniedDomains_.Print();
}
