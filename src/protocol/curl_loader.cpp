// libcurl, loaded the first time a request is made. Linking it outright
// drags some forty libraries (TLS, Kerberos, LDAP...) into every process,
// which costs the commit hooks more than the work they do; most runs never
// touch the network. The entry points the client uses are defined here,
// hidden inside our library, and forward to the real ones.
#pragma GCC visibility push(hidden)
#include <curl/curl.h>
#pragma GCC visibility pop

#include <dlfcn.h>

#include <cstdarg>
#include <mutex>

namespace {

struct CurlApi {
  bool loaded = false;
  CURLcode (*global_init)(long) = nullptr;
  CURL* (*easy_init)() = nullptr;
  void (*easy_cleanup)(CURL*) = nullptr;
  CURLcode (*easy_setopt)(CURL*, CURLoption, ...) = nullptr;
  CURLcode (*easy_perform)(CURL*) = nullptr;
  CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...) = nullptr;
  const char* (*easy_strerror)(CURLcode) = nullptr;
  curl_slist* (*slist_append)(curl_slist*, const char*) = nullptr;
  void (*slist_free_all)(curl_slist*) = nullptr;
  CURLU* (*url)() = nullptr;
  void (*url_cleanup)(CURLU*) = nullptr;
  CURLUcode (*url_get)(CURLU*, CURLUPart, char**, unsigned int) = nullptr;
  CURLUcode (*url_set)(CURLU*, CURLUPart, const char*, unsigned int) = nullptr;
  void (*free)(void*) = nullptr;
};

template <typename F>
bool bind(void* handle, const char* name, F& target) {
  target = reinterpret_cast<F>(::dlsym(handle, name));
  return target != nullptr;
}

const CurlApi& api() {
  static CurlApi a;
  static std::once_flag once;
  std::call_once(once, [] {
    void* h = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (!h) return;
    a.loaded = bind(h, "curl_global_init", a.global_init) && bind(h, "curl_easy_init", a.easy_init) &&
               bind(h, "curl_easy_cleanup", a.easy_cleanup) && bind(h, "curl_easy_setopt", a.easy_setopt) &&
               bind(h, "curl_easy_perform", a.easy_perform) && bind(h, "curl_easy_getinfo", a.easy_getinfo) &&
               bind(h, "curl_easy_strerror", a.easy_strerror) && bind(h, "curl_slist_append", a.slist_append) &&
               bind(h, "curl_slist_free_all", a.slist_free_all) && bind(h, "curl_url", a.url) &&
               bind(h, "curl_url_cleanup", a.url_cleanup) && bind(h, "curl_url_get", a.url_get) &&
               bind(h, "curl_url_set", a.url_set) && bind(h, "curl_free", a.free);
  });
  return a;
}

}  // namespace

extern "C" {

CURLcode curl_global_init(long flags) { return api().loaded ? api().global_init(flags) : CURLE_FAILED_INIT; }

CURL* curl_easy_init() { return api().loaded ? api().easy_init() : nullptr; }

void curl_easy_cleanup(CURL* handle) {
  if (handle && api().loaded) api().easy_cleanup(handle);
}

// Every option takes exactly one argument, whose type the option's number
// range tells (the same rule libcurl applies when it reads it back).
CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  if (!api().loaded) return CURLE_FAILED_INIT;
  va_list args;
  va_start(args, option);
  CURLcode rc;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    rc = api().easy_setopt(handle, option, va_arg(args, long));
  } else if (option < CURLOPTTYPE_OFF_T) {
    rc = api().easy_setopt(handle, option, va_arg(args, void*));  // object and function pointers
  } else if (option < CURLOPTTYPE_BLOB) {
    rc = api().easy_setopt(handle, option, va_arg(args, curl_off_t));
  } else {
    rc = api().easy_setopt(handle, option, va_arg(args, void*));
  }
  va_end(args);
  return rc;
}

CURLcode curl_easy_perform(CURL* handle) { return api().loaded ? api().easy_perform(handle) : CURLE_FAILED_INIT; }

// Every info query takes one pointer to the answer.
CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
  if (!api().loaded) return CURLE_FAILED_INIT;
  va_list args;
  va_start(args, info);
  void* out = va_arg(args, void*);
  va_end(args);
  return api().easy_getinfo(handle, info, out);
}

const char* curl_easy_strerror(CURLcode code) {
  return api().loaded ? api().easy_strerror(code) : "libcurl could not be loaded";
}

curl_slist* curl_slist_append(curl_slist* list, const char* text) {
  return api().loaded ? api().slist_append(list, text) : nullptr;
}

void curl_slist_free_all(curl_slist* list) {
  if (list && api().loaded) api().slist_free_all(list);
}

CURLU* curl_url() { return api().loaded ? api().url() : nullptr; }

void curl_url_cleanup(CURLU* handle) {
  if (handle && api().loaded) api().url_cleanup(handle);
}

CURLUcode curl_url_get(CURLU* handle, CURLUPart what, char** part, unsigned int flags) {
  return api().loaded ? api().url_get(handle, what, part, flags) : CURLUE_OUT_OF_MEMORY;
}

CURLUcode curl_url_set(CURLU* handle, CURLUPart what, const char* part, unsigned int flags) {
  return api().loaded ? api().url_set(handle, what, part, flags) : CURLUE_OUT_OF_MEMORY;
}

void curl_free(void* p) {
  if (p && api().loaded) api().free(p);
}

}  // extern "C"
