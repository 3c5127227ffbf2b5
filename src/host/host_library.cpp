#include "host/host_library.h"

#include "platform/errors.h"

namespace kvr {

namespace {
THostLibrary* installed_host = nullptr;
}

void SetHostLibrary(THostLibrary* host) { installed_host = host; }

THostLibrary& HostLibrary() {
  if (installed_host == nullptr) throw Exception("Biblioteca do sistema hospedeiro n\xE3o instalada.");
  return *installed_host;
}

void MensErro(const std::string& text, bool end_action) {
  HostLibrary().ShowError(text);
  if (end_action) throw EAbort(text);
}

}  // namespace kvr
