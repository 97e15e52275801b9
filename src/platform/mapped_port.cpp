#include "platform/mapped_port.h"

#include "platform/port_address.h"

namespace kbx {

MappedPort::MappedPort(const PortMap& ports, std::string lockFolder)
    : ports_(ports), ttyPort_(ports, std::move(lockFolder)), networkPort_(ports) {}

void MappedPort::Open(const PortRequest& request) {
  if (request.commPort >= 1) {
    const bool network = NamesNetworkPort(ports_.Device(request.commPort));
    // An open port of the other kind says so, as any open port does.
    if (network != network_ && !Active().IsOpen()) network_ = network;
  }
  Active().Open(request);
}

}  // namespace kbx
