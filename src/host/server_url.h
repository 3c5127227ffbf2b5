#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kvr {

// Where the application server listens, as a user writes it: "HOST:PORTA"
// (plain HTTP), "http://HOST:PORTA" or "https://HOST:PORTA" (TLS); an IPv6
// address goes in brackets ("[::1]:8061").
struct ServerUrl {
  bool https = false;
  std::string host;  // without brackets
  int port = 0;

  // The host as TNetConnection::Host carries it: "https://HOST" for TLS,
  // the bare host otherwise.
  std::string HostValue() const;
};

// Parses text as above: a host without blanks, a port from 1 to 65535.
// Returns nothing for anything else (another scheme, a path after the port).
std::optional<ServerUrl> ParseServerUrl(const std::string& text);

// Parses one address or several separated by commas ("srv1:8061,srv2:8061"),
// each as ParseServerUrl reads it; nothing when any of them is not one. The
// client tries them in order when one cannot be reached.
std::optional<std::vector<ServerUrl>> ParseServerList(const std::string& text);

// The TNetConnection::Host value that stands for addresses (not empty): the
// one address's HostValue (its port goes in Port), or for several the list
// as ParseServerList reads it, each with its port.
std::string ListHostValue(const std::vector<ServerUrl>& addresses);

// The addresses a TNetConnection::Host value and port stand for: those of a
// list (a value holding a comma), else the one of SplitHostValue.
std::vector<ServerUrl> HostAddresses(const std::string& host, int port);

// Splits a TNetConnection::Host value ("https://HOST", "http://HOST" or
// "HOST") into whether it asks for TLS and the bare host.
ServerUrl SplitHostValue(const std::string& host, int port);

// True for a name of this machine's loopback interface: 127.0.0.0/8, ::1,
// "localhost". A secret may travel in plain HTTP only to these.
bool IsLoopbackName(const std::string& host);

// The CA file (PEM) that every HTTPS connection of the process checks the
// server's certificate against; empty: the system's trust store. Set by the
// front end (kvr61400 import --ca-file, the desktop's settings) before it
// connects.
void SetHttpsCaFile(const std::string& path);
std::string HttpsCaFile();

}  // namespace kvr
