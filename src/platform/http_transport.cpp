#include "platform/http_transport.h"

#include <curl/curl.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>

#include "platform/cancellation.h"
#include "platform/launch_environment.h"
#include "platform/proxy_settings.h"
#include "util/localization.h"
#include "util/text.h"

namespace kestrova::platform {

namespace {

HttpError network_error(const std::string& cause) {
  return HttpError(HttpError::Kind::network, cause);
}

// libcurl, loaded when the first request is made rather than when the program starts: with the
// eighteen libraries it brings (Kerberos, LDAP, SSH, ...) it was a third of the cost of every
// start, and most runs (the tool server, mail sync) never make an HTTP request. The types and
// constants still come from <curl/curl.h> at compile time; only the functions are looked up.
// The library stays loaded until the process ends, as a linked one would: the per-thread easy
// handles below may be released after any static object. Thread-safe: loaded once.
class CurlLibrary {
 public:
  // The loaded library. Throws HttpError (network) when it cannot be loaded, on every call.
  static const CurlLibrary& get() {
    static const CurlLibrary library;
    if (!library.missing_.empty())
      throw network_error(localized_format("http.clientUnavailable", library.missing_));
    return library;
  }

  decltype(&::curl_easy_init) easy_init = nullptr;
  decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&::curl_easy_reset) easy_reset = nullptr;
  decltype(&::curl_easy_setopt) easy_setopt = nullptr;
  decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&::curl_easy_perform) easy_perform = nullptr;
  decltype(&::curl_easy_strerror) easy_strerror = nullptr;
  decltype(&::curl_slist_append) slist_append = nullptr;
  decltype(&::curl_slist_free_all) slist_free_all = nullptr;
  decltype(&::curl_url) url = nullptr;
  decltype(&::curl_url_cleanup) url_cleanup = nullptr;
  decltype(&::curl_url_set) url_set = nullptr;
  decltype(&::curl_url_get) url_get = nullptr;
  decltype(&::curl_free) free_memory = nullptr;

 private:
  CurlLibrary() {
    // The soname the build was configured against (the GnuTLS flavour on Debian).
    void* handle = dlopen(KESTROVA_CURL_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* reason = dlerror();
      missing_ = reason ? reason : KESTROVA_CURL_SONAME;
      return;
    }
    decltype(&::curl_global_init) global_init = nullptr;
    const bool found =
        resolve(handle, global_init, "curl_global_init") &&
        resolve(handle, easy_init, "curl_easy_init") &&
        resolve(handle, easy_cleanup, "curl_easy_cleanup") &&
        resolve(handle, easy_reset, "curl_easy_reset") &&
        resolve(handle, easy_setopt, "curl_easy_setopt") &&
        resolve(handle, easy_getinfo, "curl_easy_getinfo") &&
        resolve(handle, easy_perform, "curl_easy_perform") &&
        resolve(handle, easy_strerror, "curl_easy_strerror") &&
        resolve(handle, slist_append, "curl_slist_append") &&
        resolve(handle, slist_free_all, "curl_slist_free_all") &&
        resolve(handle, url, "curl_url") && resolve(handle, url_cleanup, "curl_url_cleanup") &&
        resolve(handle, url_set, "curl_url_set") && resolve(handle, url_get, "curl_url_get") &&
        resolve(handle, free_memory, "curl_free");
    if (!found) return;
    // Not thread-safe in libcurl, hence here: this constructor runs once.
    if (global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) missing_ = "curl_global_init";
  }

  template <typename Function>
  bool resolve(void* handle, Function& function, const char* name) {
    function = reinterpret_cast<Function>(dlsym(handle, name));
    if (!function) missing_ = name;
    return function != nullptr;
  }

  std::string missing_;  // why the library is unusable; empty when loaded
};

const CurlLibrary& curl_library() { return CurlLibrary::get(); }

struct EasyCleanup {
  void operator()(CURL* handle) const noexcept {
    if (handle) curl_library().easy_cleanup(handle);
  }
};
struct HeaderListFree {
  void operator()(curl_slist* list) const noexcept {
    if (list) curl_library().slist_free_all(list);
  }
};
struct UrlCleanup {
  void operator()(CURLU* url) const noexcept {
    if (url) curl_library().url_cleanup(url);
  }
};
using CurlHandle = std::unique_ptr<CURL, EasyCleanup>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;
using ParsedUrl = std::unique_ptr<CURLU, UrlCleanup>;

// One easy handle per thread, reset before each use: its connection cache keeps TLS
// sessions to a provider alive between requests. A request made from inside another's
// callback on the same thread gets a handle of its own.
class ThreadHandle {
 public:
  ThreadHandle() {
    const CurlLibrary& curl = curl_library();
    thread_local CurlHandle shared(curl.easy_init());
    thread_local bool busy = false;
    if (busy) {
      own_.reset(curl.easy_init());
      handle_ = own_.get();
    } else {
      handle_ = shared.get();
    }
    if (!handle_) throw network_error(localized("http.error.no_client"));
    if (!own_) {
      busy = true;
      busy_ = &busy;
    }
    curl.easy_reset(handle_);
  }
  ~ThreadHandle() {
    if (busy_) *busy_ = false;
  }
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;
  CURL* get() const { return handle_; }

 private:
  CurlHandle own_;
  bool* busy_ = nullptr;
  CURL* handle_ = nullptr;
};

std::optional<std::string> first_set(std::initializer_list<std::string_view> names) {
  for (std::string_view name : names)
    if (auto value = launchEnvironmentValue(name); value && !value->empty()) return value;
  return std::nullopt;
}

// State shared with the C callbacks, which must not throw.
struct Transfer {
  const CurlLibrary* api = nullptr;
  CURL* curl = nullptr;
  const BodySink* sink = nullptr;
  std::string body;
  bool too_large = false;
  std::exception_ptr failure;
  bool idle = false;
  double idle_limit = 0;
  curl_off_t last_received = 0;
  std::chrono::steady_clock::time_point last_progress = std::chrono::steady_clock::now();
  bool idled_out = false;
  bool cancelled = false;
  std::string location;  // the Location header, as sent
};

// Keeps the Location header (a redirect is reported, never followed).
size_t on_header(char* data, size_t size, size_t count, void* context) noexcept {
  auto& t = *static_cast<Transfer*>(context);
  const std::string_view line(data, size * count);
  constexpr std::string_view kName = "location:";
  if (line.size() > kName.size() && line.size() <= 16384 &&
      text::lower(line.substr(0, kName.size())) == kName)
    t.location = text::trim(line.substr(kName.size()));
  return size * count;
}

size_t on_body(char* data, size_t size, size_t count, void* context) noexcept {
  auto& t = *static_cast<Transfer*>(context);
  const size_t length = size * count;
  long status = 0;
  t.api->easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
  const bool success = status >= 200 && status < 300;
  if (t.sink && success) {
    try {
      (*t.sink)(std::string_view(data, length));
    } catch (...) {
      t.failure = std::current_exception();
      return 0;
    }
    return length;
  }
  const size_t limit = success ? HttpTransport::kMaxBodyBytes : HttpTransport::kMaxErrorBodyBytes;
  if (t.body.size() + length > limit) {
    t.too_large = true;
    return 0;
  }
  t.body.append(data, length);
  return length;
}

// Ends the exchange when the process is asked to stop, and a streamed exchange when the
// server has been silent longer than the time-out.
int on_progress(void* context, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) noexcept {
  auto& t = *static_cast<Transfer*>(context);
  if (CancellationToken::process().cancelled()) {
    t.cancelled = true;
    return 1;
  }
  if (!t.idle) return 0;
  const auto now = std::chrono::steady_clock::now();
  if (received != t.last_received) {
    t.last_received = received;
    t.last_progress = now;
    return 0;
  }
  if (std::chrono::duration<double>(now - t.last_progress).count() <= t.idle_limit) return 0;
  t.idled_out = true;
  return 1;
}

long milliseconds(double seconds) { return static_cast<long>(seconds * 1000.0 + 0.5); }

}  // namespace

std::string HttpTransport::proxyFor(std::string_view url) {
  // curl's own convention: http_proxy only in lower case (HTTP_PROXY can be set by a CGI
  // request header), https_proxy in either case, all_proxy as the fallback.
  const bool https = text::lower(url.substr(0, 6)) == "https:";
  auto proxy = https ? first_set({"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
                     : first_set({"http_proxy", "all_proxy", "ALL_PROXY"});
  return proxy.value_or("");
}

std::string HttpTransport::noProxyHosts() {
  return first_set({"no_proxy", "NO_PROXY"}).value_or("");
}

bool HttpTransport::isHttpUrl(const std::string& url) {
  const CurlLibrary& api = curl_library();
  const ParsedUrl parsed(api.url());
  if (!parsed || api.url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK)
    return false;
  char* scheme = nullptr;
  if (api.url_get(parsed.get(), CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK) return false;
  const std::string name = scheme;
  api.free_memory(scheme);
  return name == "http" || name == "https";
}

HttpResponse HttpTransport::perform(const HttpRequest& request, const BodySink* sink) const {
  if (CancellationToken::process().cancelled())
    throw HttpError(HttpError::Kind::cancelled, localized("http.cancelled"));
  const ThreadHandle handle;
  const CurlLibrary& api = curl_library();
  CURL* curl = handle.get();
  Transfer transfer;
  transfer.api = &api;
  transfer.curl = curl;
  transfer.sink = sink;
  transfer.idle = request.idleTimeout;
  transfer.idle_limit = request.timeout;

  HeaderList headers;
  for (const auto& [name, value] : request.headers) {
    const std::string line = name + ": " + value;
    curl_slist* appended = api.slist_append(headers.get(), line.c_str());
    if (!appended) throw network_error(localized("http.error.headers"));
    headers.release();
    headers.reset(appended);
  }
  // libcurl would add "Expect: 100-continue" to large bodies and wait for it.
  if (curl_slist* appended = api.slist_append(headers.get(), "Expect:")) {
    headers.release();
    headers.reset(appended);
  }

  // The user's proxy, when on, carries every request but those to this machine (a local
  // model server); a proxy that fails fails the request. Otherwise the launch environment's.
  const ProxySettings configured = ProxySettings::load();
  std::string proxy = proxyFor(request.url), no_proxy = noProxyHosts();
  if (configured.enabled) {
    if (configured.type != "socks5" && configured.type != "http")
      throw network_error(localized_format("http.error.proxy_type", configured.url()));
    ProxySettings named = configured;
    if (named.type == "socks5") named.type = "socks5h";  // the proxy resolves host names
    proxy = named.url();
    no_proxy = "localhost,127.0.0.1,::1";
  }
  char error_text[CURL_ERROR_SIZE] = {};
  api.easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  api.easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  api.easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  api.easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  api.easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  api.easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (extraCAFile) api.easy_setopt(curl, CURLOPT_CAINFO, extraCAFile->c_str());
  // Set even when empty: an explicit value keeps libcurl from reading the live environment.
  api.easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
  api.easy_setopt(curl, CURLOPT_NOPROXY, no_proxy.c_str());
  api.easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  api.easy_setopt(curl, CURLOPT_USERAGENT, "Kestrova");
  api.easy_setopt(curl, CURLOPT_ERRORBUFFER, error_text);
  api.easy_setopt(curl, CURLOPT_WRITEFUNCTION, on_body);
  api.easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  api.easy_setopt(curl, CURLOPT_HEADERFUNCTION, on_header);
  api.easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  if (request.method == "GET") {
    api.easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else {
    api.easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    api.easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    api.easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                    static_cast<curl_off_t>(request.body.size()));
  }
  api.easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(request.timeout));
  const double whole =
      request.idleTimeout
          ? std::min(request.streamTimeout.value_or(kMaxStreamSeconds), kMaxStreamSeconds)
          : request.timeout;
  api.easy_setopt(curl, CURLOPT_TIMEOUT_MS, milliseconds(whole));
  api.easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  api.easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  api.easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);

  const CURLcode result = api.easy_perform(curl);
  // The handle outlives this call; it must not keep pointers into this frame.
  api.easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  api.easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  if (transfer.failure) std::rethrow_exception(transfer.failure);
  if (transfer.cancelled) throw HttpError(HttpError::Kind::cancelled, localized("http.cancelled"));
  if (transfer.too_large)
    throw HttpError(HttpError::Kind::bodyTooLarge, localized("http.error.too_large"));
  if (transfer.idled_out) throw network_error(localized("http.error.timed_out"));
  if (result != CURLE_OK) {
    std::string cause = error_text[0] ? error_text : api.easy_strerror(result);
    if (result == CURLE_OPERATION_TIMEDOUT)
      cause = localized_format("http.error.timed_out_because", cause);
    if (configured.enabled)
      cause = localized_format("http.error.through_proxy", configured.url(), cause);
    throw network_error(cause);
  }
  HttpResponse response;
  api.easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  if (response.status >= 300 && response.status < 400)
    response.redirectLocation = std::move(transfer.location);
  response.body = std::move(transfer.body);
  return response;
}

}  // namespace kestrova::platform
