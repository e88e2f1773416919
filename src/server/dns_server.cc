#include "server/dns_server.h"

#include <arpa/inet.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <thread>
#include <strings.h>

#include "dns/dns_cache.h"
#include "shell/exceptions.h"
#include "shell/log.h"

std::atomic<Event*> g_processStopEvent{nullptr};

namespace {
constexpr int32_t kSiteMyIPWrite = 10101;
constexpr int32_t kSiteDecodeIPWrite = 10102;
constexpr int32_t kSiteMyIPRead = 10111;
constexpr int32_t kSiteDecodeIPRead = 10112;

void ServicePacket(void* context, int socket, const sockaddr* remote, const AddressRecord* local,
                   uint16_t length, uint8_t* data) {
  static_cast<DNSServer*>(context)->HandleClientRequest(socket, remote, local, length, data);
}

void UpstreamPacket(void* context, int socket, const sockaddr* remote, const AddressRecord* local,
                    uint16_t length, uint8_t* data) {
  static_cast<DNSServer*>(context)->HandleUpstreamResponse(socket, remote, local, length, data);
}
}  // namespace

void CrossSendGate::CloseAndDrain() {
  open_.store(false);
  while (inside_.load() != 0) std::this_thread::yield();
}

DNSServer::DNSServer(DNSCache* cache)
    : serviceEngine_(new UdpEngine(this)),
      upstreamEngine_(new UdpEngine(this)),
      slots_(static_cast<ForwardSlot*>(std::calloc(kForwardSlots, sizeof(ForwardSlot)))) {
  if (!slots_) throw std::bad_alloc();
  if (cache == nullptr) {
    ownedCache_.reset(new DNSCache());
    cache_ = ownedCache_.get();
  } else {
    cache_ = cache;
  }
  serviceEngine_->SetHandler(ServicePacket);
  upstreamEngine_->SetHandler(UpstreamPacket);
  allowedDomains_.SetAllowWhenInactive(true);
  // A fetch in progress gives up when the process is asked to stop.
  UrlFetchOptions fetch;
  fetch.cancelled = [] {
    Event* stop = g_processStopEvent.load();
    return stop != nullptr && stop->IsSet();
  };
  allowedDomains_.SetFetchOptions(fetch);
  deniedDomains_.SetFetchOptions(fetch);
  reportUrls_.SetFetchOptions(fetch);
  SetAnyAddress(&serviceAddress_, AF_INET);
  SetNoneAddress(&secondServiceAddress_);
  SetAnyAddress(&fromAddress_, AF_INET);
}

DNSServer::~DNSServer() {
  upstreamEngine_.reset();
  serviceEngine_.reset();
}

bool DNSServer::OnStart(ThreadContext*) {
  lastDomainReload_ = GetTickCount32();
  lastHostReload_ = lastDomainReload_;
  return true;
}

void DNSServer::OnStop(ThreadContext*) {}

void DNSServer::OnStatusTick(ThreadContext*) {}

ThreadContext* DNSServer::CreateThreadContext(int32_t tag) { return new ThreadContext(tag); }

bool DNSServer::LoadSettings(ThreadContext*, SettingsMap& settings) { return ApplySettings(settings, false); }

bool DNSServer::LoadConfig(ThreadContext* context, const char* fileName) {
  SettingsMap settings;
  if (!ReadSettingsFile(fileName, settings)) return false;
  return LoadSettings(context, settings);
}

void DNSServer::Run(ThreadContext* context) {
  if (started_.load()) {
    if (log_) LogMessage("Already started.");
    return;
  }
  if (!OnStart(context)) return;
  {
    CriticalLockGuard guard(upstreamLock_, 10201);
    if (slotsUsed_) std::memset(static_cast<void*>(slots_.get()), 0, sizeof(ForwardSlot) * kForwardSlots);
    slotsUsed_ = false;
    nextSlot_ = 0;
  }
  rings_.Clear();
  if (!serviceEngine_->Start(&serviceAddress_, serviceIPv6_ ? AF_INET6 : AF_INET, servicePort_,
                             &secondServiceAddress_, secondServicePort_, 2)) {
    OnStop(context);
    return;
  }
  if (!upstreamEngine_->Start(&fromAddress_, upstreamIPv6_ ? AF_INET6 : AF_INET, 0, nullptr, 0, 1)) {
    OnStop(context);
    serviceEngine_->Stop();
    return;
  }
  if (Event* processStop = g_processStopEvent.load()) {
    stopEvent_ = processStop;
  } else {
    ownStopEvent_.reset(new Event());
    stopEvent_ = ownStopEvent_.get();
  }
  crossSends_.Open();
  StartThreads();
  started_ = true;
  stopEvent_->Wait(-1);
  StopThreads();
  crossSends_.CloseAndDrain();
  upstreamEngine_->Stop();
  serviceEngine_->Stop();
  started_ = false;
  // The event is forgotten only after the threads that wait on it have ended.
  stopEvent_ = nullptr;
  ownStopEvent_.reset();
  OnStop(context);
}

bool DNSServer::SetServiceAddress(const char* text) {
  if (text == nullptr || strcasecmp(text, "ANY") == 0) {
    SetAnyAddress(&serviceAddress_, serviceIPv6_ ? AF_INET6 : AF_INET);
    return true;
  }
  AddressRecord r;
  if (!TextToAddress(text, &r)) return false;
  serviceAddress_ = r;
  return true;
}

bool DNSServer::SetFromAddress(const char* text) {
  if (text == nullptr || strcasecmp(text, "ANY") == 0) {
    SetAnyAddress(&fromAddress_, upstreamIPv6_ ? AF_INET6 : AF_INET);
    return true;
  }
  AddressRecord r;
  if (!TextToAddress(text, &r)) return false;
  fromAddress_ = r;
  return true;
}

bool DNSServer::SetSecondServiceAddress(const char* text) {
  if (text == nullptr || strcasecmp(text, "NO") == 0) {
    SetNoneAddress(&secondServiceAddress_);
    return true;
  }
  AddressRecord r;
  if (!TextToAddress(text, &r)) return false;
  secondServiceAddress_ = r;
  return true;
}

void DNSServer::SetSecondServicePort(uint16_t port) {
  if (port == 0) return;
  secondServicePort_ = port;
  // A second port without a second address binds the service address a second time.
  if (port != servicePort_ && IsNoneAddress(secondServiceAddress_)) secondServiceAddress_ = serviceAddress_;
}

bool DNSServer::IsIPv6Available() {
  if (ipv6KnownAvailable_) return true;
  if (ipv6KnownUnavailable_) return false;
  AddressRecord r;
  // The address text converts only where the system supports IPv6 sockets at all.
  int fd = socket(AF_INET6, SOCK_DGRAM, 0);
  bool ok = TextToAddress("::1", &r) && r.family == AF_INET6 && fd >= 0;
  if (fd >= 0) close(fd);
  (ok ? ipv6KnownAvailable_ : ipv6KnownUnavailable_) = true;
  return ok;
}

bool DNSServer::SetMyIPDomains(const char* text) {
  SpinRWGuard guard(myIPLock_, kSiteMyIPWrite, SpinRWGuard::Write);
  if (text != nullptr) {
    myIPDomains_.Parse(text);
    myIPOn_ = true;
  } else {
    myIPOn_ = false;
  }
  return true;
}

bool DNSServer::SetDecodeIPDomains(const char* text) {
  SpinRWGuard guard(decodeIPLock_, kSiteDecodeIPWrite, SpinRWGuard::Write);
  if (text != nullptr) {
    decodeIPDomains_.Parse(text);
    decodeIPOn_ = true;
  } else {
    decodeIPOn_ = false;
  }
  return true;
}

bool DNSServer::IsMyIPDomain(const char* name) {
  SpinRWGuard guard(myIPLock_, kSiteMyIPRead, SpinRWGuard::Read);
  return myIPOn_ && myIPDomains_.Find(name);
}

bool DNSServer::DecodeDomainIP(const char* name, char* out, size_t outSize) {
  SpinRWGuard guard(decodeIPLock_, kSiteDecodeIPRead, SpinRWGuard::Read);
  if (!decodeIPOn_ || !decodeIPDomains_.Find(name)) return false;
  return DecodeIPCode(name, out, outSize);
}

int DNSServer::FreeForwardSlots() {
  CriticalLockGuard guard(upstreamLock_, 10209);
  int n = 0;
  for (int i = 0; i < kForwardSlots; ++i)
    if (slots_[i].sentTime == 0) ++n;
  return n;
}
