#include "host/server_url.h"

#include <algorithm>
#include <mutex>

namespace kvr {

namespace {

std::mutex g_ca_mutex;
std::string g_ca_file;

// Drops a leading "https://" or "http://" from text; true for "https://".
bool DropScheme(std::string& text) {
  const bool https = text.starts_with("https://");
  if (https || text.starts_with("http://")) text.erase(0, https ? 8 : 7);
  return https;
}

}  // namespace

std::string TServerUrl::HostValue() const { return https ? "https://" + host : host; }

std::optional<TServerUrl> ParseServerUrl(const std::string& text) {
  TServerUrl url;
  std::string rest = text;
  url.https = DropScheme(rest);
  const size_t colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  std::string host = rest.substr(0, colon);
  const std::string port = rest.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string::npos && url.https) {
    return std::nullopt;  // an IPv6 address in a URL goes in brackets
  }
  if (host.find_first_of(" \t/[]") != std::string::npos) return std::nullopt;
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  url.port = std::stoi(port);
  if (url.port < 1 || url.port > 65535) return std::nullopt;
  url.host = host;
  return url;
}

TServerUrl SplitHostValue(const std::string& host, int port) {
  TServerUrl url;
  url.port = port;
  url.host = host;
  url.https = DropScheme(url.host);
  if (url.host.size() > 2 && url.host.front() == '[' && url.host.back() == ']')
    url.host = url.host.substr(1, url.host.size() - 2);
  return url;
}

bool IsLoopbackName(const std::string& host) {
  if (host == "localhost" || host == "::1" || host == "0:0:0:0:0:0:0:1") return true;
  return host.starts_with("127.") && std::count(host.begin(), host.end(), '.') == 3 &&
         host.find_first_not_of(".0123456789") == std::string::npos;
}

void SetHttpsCaFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_ca_mutex);
  g_ca_file = path;
}

std::string HttpsCaFile() {
  std::lock_guard<std::mutex> lock(g_ca_mutex);
  return g_ca_file;
}

}  // namespace kvr
