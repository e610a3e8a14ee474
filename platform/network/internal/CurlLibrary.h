#pragma once
// libcurl, loaded when the first URL session is made rather than linked: it
// brings some forty shared libraries (TLS, Kerberos, LDAP, SSH, RTMP) whose
// loading and relocation cost every start of the host more than its own
// work. The engine calls it through `Curl()`.

// The functions are called through pointers, which curl's compile-time
// option checks (macros over the function names) cannot wrap.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <string>
#include <vector>

#define QX_CURL_FUNCTIONS(X)  \
  X(curl_easy_cleanup)        \
  X(curl_easy_getinfo)        \
  X(curl_easy_init)           \
  X(curl_easy_pause)          \
  X(curl_easy_reset)          \
  X(curl_easy_setopt)         \
  X(curl_easy_strerror)       \
  X(curl_free)                \
  X(curl_getdate)             \
  X(curl_global_init)         \
  X(curl_multi_add_handle)    \
  X(curl_multi_cleanup)       \
  X(curl_multi_info_read)     \
  X(curl_multi_init)          \
  X(curl_multi_perform)       \
  X(curl_multi_poll)          \
  X(curl_multi_remove_handle) \
  X(curl_multi_setopt)        \
  X(curl_multi_wakeup)        \
  X(curl_share_cleanup)       \
  X(curl_share_init)          \
  X(curl_share_setopt)        \
  X(curl_slist_append)        \
  X(curl_slist_free_all)      \
  X(curl_url)                 \
  X(curl_url_cleanup)         \
  X(curl_url_get)             \
  X(curl_url_set)

struct CurlFunctions {
#define QX_CURL_MEMBER(name) decltype(&::name) name = nullptr;
  QX_CURL_FUNCTIONS(QX_CURL_MEMBER)
#undef QX_CURL_MEMBER
};

// Loads libcurl and initialises it once for the process; false with `why`
// when it cannot be loaded (remembered, and answered again).
bool CurlLoad(std::string* why);

// The functions, loaded if need be; calling it where `CurlLoad` fails is a
// bug (the session should have answered its task) and stops the process.
const CurlFunctions& Curl();

// The loading itself, without the process-wide memory: opens `library` and
// resolves every function from it; false with `why` naming what is missing,
// `functions` then left as it was. The seam the tests use.
bool CurlResolve(const std::string& library, CurlFunctions& functions, std::string& why);
