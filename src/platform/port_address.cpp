#include "platform/port_address.h"

#include <algorithm>
#include <string_view>

#include "platform/decimal.h"

namespace kbx {
namespace {

constexpr std::string_view kRfc2217Scheme = "rfc2217://";
constexpr std::string_view kTcpScheme = "tcp://";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// A host name: letters, digits, '-', '.' and '_'; or an IPv4 address.
bool IsHostName(std::string_view host) {
  return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
  });
}

// The inside of the brackets of an IPv6 address: hex digits and colons, an
// IPv4 tail, and at least one colon.
bool IsIpv6(std::string_view host) {
  return host.find(':') != std::string_view::npos && std::all_of(host.begin(), host.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
                  c == '.';
         });
}

}  // namespace

bool NamesNetworkPort(const std::string& text) {
  return StartsWith(text, kRfc2217Scheme) || StartsWith(text, kTcpScheme);
}

std::optional<PortAddress> ParsePortAddress(const std::string& text, std::string& why) {
  PortAddress address;
  std::string_view rest = text;
  if (StartsWith(rest, kRfc2217Scheme)) {
    address.kind = PortAddress::Kind::kRfc2217;
    rest.remove_prefix(kRfc2217Scheme.size());
  } else if (StartsWith(rest, kTcpScheme)) {
    address.kind = PortAddress::Kind::kTcp;
    rest.remove_prefix(kTcpScheme.size());
  } else {
    why = "\"" + text + "\" is no network port: it starts with rfc2217:// or tcp://";
    return std::nullopt;
  }
  const std::string expected = "\"" + text + "\" is no network port: expected " +
                               std::string(text.substr(0, text.size() - rest.size())) + "HOST:PORT";
  std::string_view host;
  std::string_view port;
  if (StartsWith(rest, "[")) {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":") {
      why = expected + ", with an IPv6 address as [ADDRESS]";
      return std::nullopt;
    }
    host = rest.substr(1, close - 1);
    port = rest.substr(close + 2);
    if (!IsIpv6(host)) {
      why = "\"" + text + "\" is no network port: \"" + std::string(host) + "\" is no IPv6 address";
      return std::nullopt;
    }
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos) {
      why = expected;
      return std::nullopt;
    }
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      why = expected + ", with an IPv6 address as [ADDRESS]";
      return std::nullopt;
    }
    if (!IsHostName(host)) {
      why = "\"" + text + "\" is no network port: \"" + std::string(host) + "\" is no host name";
      return std::nullopt;
    }
  }
  const auto number = ParseDecimal<int>(port);
  if (!number || *number < 1 || *number > 65535) {
    why = "\"" + text + "\" is no network port: the port must be a number from 1 to 65535, not \"" +
          std::string(port) + "\"";
    return std::nullopt;
  }
  address.host = std::string(host);
  address.port = *number;
  return address;
}

std::string FormatPortAddress(const PortAddress& address) {
  const bool ipv6 = address.host.find(':') != std::string::npos;
  return std::string(address.kind == PortAddress::Kind::kRfc2217 ? kRfc2217Scheme : kTcpScheme) +
         (ipv6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

}  // namespace kbx
