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

std::string ServerUrl::HostValue() const {
  return https ? "https://" + host : host;
}

std::optional<ServerUrl> ParseServerUrl(const std::string& text) {
  ServerUrl url;
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

std::optional<std::vector<ServerUrl>> ParseServerList(const std::string& text) {
  std::vector<ServerUrl> addresses;
  size_t begin = 0;
  while (true) {
    const size_t comma = text.find(',', begin);
    std::string item = text.substr(begin, comma == std::string::npos ? comma : comma - begin);
    const size_t first = item.find_first_not_of(' ');
    item = first == std::string::npos ? "" : item.substr(first, item.find_last_not_of(' ') - first + 1);
    const std::optional<ServerUrl> url = ParseServerUrl(item);
    if (!url) return std::nullopt;
    addresses.push_back(*url);
    if (comma == std::string::npos) return addresses;
    begin = comma + 1;
  }
}

std::string ListHostValue(const std::vector<ServerUrl>& addresses) {
  if (addresses.size() == 1) return addresses[0].HostValue();
  std::string list;
  for (const ServerUrl& url : addresses) {
    if (!list.empty()) list += ',';
    const bool v6 = url.host.find(':') != std::string::npos;
    list += std::string(url.https ? "https://" : "") + (v6 ? "[" + url.host + "]" : url.host) +
            ":" + std::to_string(url.port);
  }
  return list;
}

std::vector<ServerUrl> HostAddresses(const std::string& host, int port) {
  if (host.find(',') != std::string::npos)
    if (std::optional<std::vector<ServerUrl>> list = ParseServerList(host)) return *list;
  return {SplitHostValue(host, port)};
}

ServerUrl SplitHostValue(const std::string& host, int port) {
  ServerUrl url;
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
