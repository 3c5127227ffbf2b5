#include "host/string_services.h"

namespace kvr {

bool EmptyString(const std::string& text) {
  for (unsigned char c : text) {
    if (c > 32) return false;
  }
  return true;
}

std::string Ajusta(const std::string& text, int width) {
  if (width <= 0 || text.size() >= static_cast<size_t>(width)) return text;
  return std::string(static_cast<size_t>(width) - text.size(), ' ') + text;
}

}  // namespace kvr
