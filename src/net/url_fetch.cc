#include "net/url_fetch.h"

#include <curl/curl.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "shell/log.h"

namespace {

// libcurl's global set-up is not thread-safe: done once for the process, never undone (the
// process ends with it).
CURLcode GlobalInit() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result;
}

// Gathers the bytes libcurl hands over into full pieces for the sink.
struct Transfer {
  const UrlPieceSink* sink;
  const UrlFetchOptions* options;
  std::vector<char> piece;
  bool stopped = false;  // the sink asked to stop

  bool Flush() {
    if (piece.empty() || stopped) return !stopped;
    bool more = (*sink)(piece.data(), piece.size());
    piece.clear();
    if (!more) stopped = true;
    return more;
  }
};

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t total = size * count;
  size_t used = 0;
  while (used < total) {
    size_t room = kUrlPieceSize - t->piece.size();
    size_t take = total - used < room ? total - used : room;
    t->piece.insert(t->piece.end(), data + used, data + used + take);
    used += take;
    if (t->piece.size() == kUrlPieceSize && !t->Flush()) return 0;  // aborts the transfer
  }
  return total;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<Transfer*>(user);
  return t->options->cancelled && t->options->cancelled() ? 1 : 0;
}

struct EasyHandle {
  CURL* handle = curl_easy_init();
  ~EasyHandle() {
    if (handle) curl_easy_cleanup(handle);
  }
};

}  // namespace

bool FetchUrl(const char* url, const char* userAgent, const UrlPieceSink& sink,
              const UrlFetchOptions& options) {
  CURLcode init = GlobalInit();
  if (init != CURLE_OK) {
    LogError("InternetOpen failed with error 0x%x", static_cast<unsigned>(init));
    return false;
  }
  EasyHandle easy;
  if (!easy.handle) {
    LogError("InternetOpen failed with error 0x%x", static_cast<unsigned>(CURLE_FAILED_INIT));
    return false;
  }
  CURL* h = easy.handle;
  Transfer transfer;
  transfer.sink = &sink;
  transfer.options = &options;
  transfer.piece.reserve(kUrlPieceSize);

  curl_easy_setopt(h, CURLOPT_URL, url ? url : "");
  curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent && userAgent[0] ? userAgent : "Mozilla");
  curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(h, CURLOPT_PROXY, "");
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  // The schemes a list or report URL may name; never local files or other protocols.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https,ftp,ftps");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https,ftp,ftps");
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, static_cast<long>(kUrlPieceSize));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeoutMs));
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options.transferTimeoutMs));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnWrite);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  if (options.cancelled) {
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, OnProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  }

  CURLcode rc = curl_easy_perform(h);
  if (transfer.stopped) return true;
  if (rc != CURLE_OK) {
    LogError("InternetOpenUrl failed with error 0x%x", static_cast<unsigned>(rc));
    return false;
  }
  transfer.Flush();
  return true;
}

bool LooksLikeHtmlPage(const char* data, size_t size) {
  static const char kTag[] = "<html";
  constexpr size_t kTagLen = sizeof(kTag) - 1;
  if (data == nullptr || size <= kTagLen) return false;
  for (size_t i = 0; i + kTagLen < size; ++i) {
    if (data[i] != '<') continue;
    size_t k = 1;
    while (k < kTagLen && (data[i + k] | 0x20) == kTag[k]) ++k;
    if (k < kTagLen) continue;
    char next = data[i + kTagLen];
    if (next == '>' || next == ' ' || next == '\t' || next == '\r' || next == '\n') return true;
  }
  return false;
}
