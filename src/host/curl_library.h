#pragma once
// libcurl, loaded when the first connection to a server is made rather than
// when a program starts. libcurl brings some twenty-five libraries with it
// (TLS, Kerberos, LDAP, SSH...) whose loading costs every process about 6 MB
// of memory: `kvr61400 inspect`, and any run that never connects, now spares
// them.
#include <curl/curl.h>

namespace kvr {

// The libcurl functions the HTTP transport calls, with libcurl's own types.
struct TCurlLibrary {
  decltype(&::curl_easy_init) easy_init;
  decltype(&::curl_easy_cleanup) easy_cleanup;
  decltype(&::curl_easy_setopt) easy_setopt;
  decltype(&::curl_easy_getinfo) easy_getinfo;
  decltype(&::curl_easy_pause) easy_pause;
  decltype(&::curl_easy_strerror) easy_strerror;
  decltype(&::curl_multi_init) multi_init;
  decltype(&::curl_multi_cleanup) multi_cleanup;
  decltype(&::curl_multi_add_handle) multi_add_handle;
  decltype(&::curl_multi_remove_handle) multi_remove_handle;
  decltype(&::curl_multi_perform) multi_perform;
  decltype(&::curl_multi_info_read) multi_info_read;
  decltype(&::curl_multi_poll) multi_poll;
  decltype(&::curl_slist_append) slist_append;
  decltype(&::curl_slist_free_all) slist_free_all;
};

// Loads libcurl (the build the program was compiled against, by its soname)
// and initialises it, once per process; safe from any thread. The library
// stays loaded until the process ends. Throws Exception, with the package to
// install, when it cannot be loaded or initialised; the next call tries again.
const TCurlLibrary& CurlLibrary();

}  // namespace kvr
