// The HTTP exchange itself, on libcurl: one easy handle per request, owned
// by RAII, TLS verification on, no redirects (a redirect could carry the API
// key to another host), a bounded response, and time limits drawn from the
// thread's network budget.
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include "protocol/http_client.hpp"

namespace brenik::protocol::http_client {

namespace {

using Clock = std::chrono::steady_clock;

// The deadline of the innermost budget of this thread (see NetworkBudget).
thread_local std::optional<Clock::time_point> tl_deadline;
// Accumulator of the innermost TransferTimer of this thread.
thread_local double* tl_transfer_seconds = nullptr;

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyDeleter {
  void operator()(CURL* h) const noexcept { curl_easy_cleanup(h); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

struct Sink {
  std::string body;
  std::map<std::string, std::string> headers;
  bool too_large = false;
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink->body.size() + n > MAX_RESPONSE_BYTES) {
    sink->too_large = true;
    return 0;  // aborts the transfer
  }
  sink->body.append(data, n);
  return n;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  std::string line(data, n);
  auto colon = line.find(':');
  if (colon != std::string::npos) {
    std::string name = line.substr(0, colon);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::string value = line.substr(colon + 1);
    auto first = value.find_first_not_of(" \t");
    auto last = value.find_last_not_of(" \t\r\n");
    value = first == std::string::npos ? "" : value.substr(first, last - first + 1);
    sink->headers[name] = value;
  }
  return n;
}

void append_header(HeaderList& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (!grown) throw ConnectionError("out of memory building request headers");
  (void)list.release();
  list.reset(grown);
}

// Header values come from callers; a CR or LF would let one smuggle in
// another header.
bool header_safe(const std::string& text) { return text.find_first_of("\r\n") == std::string::npos; }

[[noreturn]] void raise_curl(CURLcode code, const char* errbuf, const Sink& sink, const std::string& url) {
  std::string detail = errbuf && *errbuf ? errbuf : curl_easy_strerror(code);
  std::string where = " (" + url + ")";
  if (sink.too_large)
    throw ProtocolError("response larger than " + std::to_string(MAX_RESPONSE_BYTES) + " bytes" + where);
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: throw TimeoutError("request timed out: " + detail + where);
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_CONTENT_ENCODING: throw ProtocolError("not an HTTP answer: " + detail + where);
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE: throw ConnectionError("TLS failure: " + detail + where);
    default: throw ConnectionError("connection failed: " + detail + where);
  }
}

}  // namespace

NetworkBudget::NetworkBudget(double seconds) : previous_(tl_deadline) {
  auto span = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(0.0, seconds)));
  auto deadline = Clock::now() + span;
  if (!tl_deadline || deadline < *tl_deadline) tl_deadline = deadline;
}

NetworkBudget::~NetworkBudget() { tl_deadline = previous_; }

NetworkBudget network_budget(double seconds) { return NetworkBudget(seconds); }

std::optional<double> budget_remaining() {
  if (!tl_deadline) return std::nullopt;
  return std::chrono::duration<double>(*tl_deadline - Clock::now()).count();
}

TransferTimer::TransferTimer(double& seconds) : previous_(tl_transfer_seconds) { tl_transfer_seconds = &seconds; }

TransferTimer::~TransferTimer() { tl_transfer_seconds = previous_; }

namespace detail {

Response perform(const Request& request) {
  check_url_safe(request.url);
  global_init();

  long timeout_ms = static_cast<long>(DEFAULT_TIMEOUT_SECONDS * 1000);
  long connect_ms = static_cast<long>(DEFAULT_CONNECT_TIMEOUT_SECONDS * 1000);
  if (auto left = budget_remaining()) {
    // Less than a millisecond left counts as nothing left: curl reads 0 as
    // "no limit".
    if (*left < 0.001) throw TimeoutError("network budget exhausted before " + request.url);
    long left_ms = std::max(1L, static_cast<long>(*left * 1000));
    timeout_ms = std::min(timeout_ms, left_ms);
    connect_ms = std::min(connect_ms, left_ms);
  }

  Easy easy(curl_easy_init());
  if (!easy) throw ConnectionError("could not create an HTTP handle");
  CURL* h = easy.get();

  HeaderList headers;
  append_header(headers, "Accept: application/json");
  append_header(headers, "Expect:");  // no 100-continue round trip
  if (!request.api_key.empty()) {
    if (!header_safe(request.api_key)) throw ValueError("API key contains a line break");
    append_header(headers, "Authorization: Bearer " + request.api_key);
  }
  if (request.body) append_header(headers, "Content-Type: application/json");
  for (const auto& [name, value] : request.headers) {
    if (!header_safe(name) || !header_safe(value) || name.find(':') != std::string::npos)
      throw ValueError("header " + name + " contains a forbidden character");
    append_header(headers, name + ": " + value);
  }

  Sink sink;
  char errbuf[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connect_ms);
  curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(MAX_RESPONSE_BYTES));
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &sink);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_USERAGENT, "brenik-tolvern/1");
  // Plain http only ever goes to this machine, and a proxy would read the
  // API key in clear: never use one for it, whatever the environment says.
  // Over https a proxy only carries the tunnel.
  if (uses_plain_http(request.url)) {
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
  }
  if (request.method == "POST") {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    // curl reads the body in place during the transfer: point it at the
    // request's own string, which outlives the call.
    static const std::string empty;
    const std::string& body = request.body ? *request.body : empty;
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
  } else if (request.method != "GET") {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  auto started = Clock::now();
  CURLcode rc = curl_easy_perform(h);
  if (tl_transfer_seconds) *tl_transfer_seconds += std::chrono::duration<double>(Clock::now() - started).count();
  if (rc != CURLE_OK) raise_curl(rc, errbuf, sink, request.url);

  Response response;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
  response.body = std::move(sink.body);
  response.headers = std::move(sink.headers);
  if (response.status < 100) throw ProtocolError("no HTTP status from " + request.url);
  return response;
}

}  // namespace detail
}  // namespace brenik::protocol::http_client
