#include "host/curl_library.h"

#include <dlfcn.h>

#include <string>

#include "platform/errors.h"

namespace kvr {

namespace {

// KVR_CURL_SONAME and KVR_CURL_PACKAGE come from the build (src/host/CMakeLists.txt):
// the libcurl the headers belong to, and the Debian package that holds it.
std::string CannotLoad(const std::string& why) {
  return "N\xE3o foi poss\xEDvel carregar a biblioteca HTTP " KVR_CURL_SONAME " (" + why +
         "): instale o pacote " KVR_CURL_PACKAGE ".";
}

template <typename Function>
void Find(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  if (function == nullptr) throw Exception(CannotLoad(std::string("falta a fun\xE7\xE3o ") + name));
}

TCurlLibrary Load() {
  // Never unloaded: curl's global state and its TLS library live as long as
  // the process.
  void* library = dlopen(KVR_CURL_SONAME, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* error = dlerror();
    throw Exception(CannotLoad(error != nullptr ? error : "dlopen"));
  }
  TCurlLibrary curl{};
  decltype(&::curl_global_init) global_init = nullptr;
  Find(library, "curl_global_init", global_init);
  Find(library, "curl_easy_init", curl.easy_init);
  Find(library, "curl_easy_cleanup", curl.easy_cleanup);
  Find(library, "curl_easy_setopt", curl.easy_setopt);
  Find(library, "curl_easy_getinfo", curl.easy_getinfo);
  Find(library, "curl_easy_pause", curl.easy_pause);
  Find(library, "curl_easy_strerror", curl.easy_strerror);
  Find(library, "curl_multi_init", curl.multi_init);
  Find(library, "curl_multi_cleanup", curl.multi_cleanup);
  Find(library, "curl_multi_add_handle", curl.multi_add_handle);
  Find(library, "curl_multi_remove_handle", curl.multi_remove_handle);
  Find(library, "curl_multi_perform", curl.multi_perform);
  Find(library, "curl_multi_info_read", curl.multi_info_read);
  Find(library, "curl_multi_poll", curl.multi_poll);
  Find(library, "curl_slist_append", curl.slist_append);
  Find(library, "curl_slist_free_all", curl.slist_free_all);
  if (global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
    throw Exception("Falha ao iniciar a biblioteca HTTP.");
  return curl;
}

}  // namespace

const TCurlLibrary& CurlLibrary() {
  static const TCurlLibrary curl = Load();
  return curl;
}

}  // namespace kvr
