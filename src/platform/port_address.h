#pragma once

#include <optional>
#include <string>

namespace kbx {

// A serial port on the network: a serial server that takes its line settings
// by RFC 2217 ("rfc2217://HOST:PORT"), or a raw TCP one whose line is set up
// on the server ("tcp://HOST:PORT"). HOST is a name, an IPv4 address or an
// IPv6 address in brackets; PORT is 1..65535.
struct PortAddress {
  enum class Kind { kRfc2217, kTcp };
  Kind kind = Kind::kTcp;
  std::string host;  // without the brackets of an IPv6 address
  int port = 0;
};

// Whether `text` is meant as a network port: it starts with one of the
// schemes (well formed or not).
bool NamesNetworkPort(const std::string& text);

// Parses a network port; nothing when `text` is no well-formed one, and then
// `why` says what is wrong with it.
std::optional<PortAddress> ParsePortAddress(const std::string& text, std::string& why);

// The address in its normal form, e.g. "rfc2217://[::1]:7001".
std::string FormatPortAddress(const PortAddress& address);

}  // namespace kbx
