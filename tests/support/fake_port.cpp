#include "fake_port.h"

#include <algorithm>
#include <utility>

#include "platform/line_settings.h"

namespace kbx::test {

void FakePort::Open(const PortRequest& request) {
  opens.push_back(request);
  if (open_) throw RunTimeError(kErrPortAlreadyOpen);
  // As a port does: a refused value keeps the one before, the last refusal counts.
  int failure = 0;
  if (!Supported(request.settings)) {
    failure = kErrInvalidProperty;
  } else {
    settings_ = request.settings;
  }
  if (request.commPort < 1) {
    failure = kErrInvalidPortNumber;
  } else {
    commPort_ = request.commPort;
  }
  if (!existing.count(commPort_)) failure = kErrInvalidPortNumber;
  const PortFailure why = std::exchange(openWhy, PortFailure{});
  if (openError != 0) failure = std::exchange(openError, 0);
  open_ = failure == 0;
  in_.clear();
  if (failure != 0 && !why.reason.empty()) throw PortOpenError(failure, why);
  if (failure != 0) throw RunTimeError(failure);
}

void FakePort::Deliver(const Bytes& bytes, int delayMs) {
  if (bytes.empty()) return;
  Arrival arrival{clock_.Now() + delayMs / 1000.0, bytes};
  auto later = std::upper_bound(pending_.begin(), pending_.end(), arrival.at,
                                [](double at, const Arrival& a) { return at < a.at; });
  pending_.insert(later, std::move(arrival));
}

void FakePort::TakeDue() {
  auto due = pending_.begin();
  for (; due != pending_.end() && due->at <= clock_.Now() + 1e-9; ++due) {
    if (!open_) continue;
    const std::size_t room = 1024 - std::min<std::size_t>(in_.size(), 1024);
    const std::size_t kept = std::min(room, due->bytes.size());  // an overrun loses the rest
    in_.insert(in_.end(), due->bytes.begin(), due->bytes.begin() + static_cast<long>(kept));
  }
  pending_.erase(pending_.begin(), due);
}

int FakePort::BytesWaiting() {
  if (readError != 0) throw RunTimeError(readError);
  if (!open_) return 0;
  TakeDue();
  return static_cast<int>(in_.size());
}

void FakePort::DiscardInput() {
  TakeDue();
  in_.clear();
}

Bytes FakePort::ReadAll() {
  if (!open_) throw RunTimeError(kErrDeviceNotOpen);
  if (beforeInput) beforeInput();
  TakeDue();
  Bytes out;
  out.swap(in_);
  return out;
}

void FakePort::Write(const Bytes& bytes) {
  if (!open_) throw RunTimeError(kErrDeviceNotOpen);
  if (bytes.empty()) return;
  if (writeFault) {
    if (const int error = writeFault(bytes)) throw RunTimeError(error);
  }
  writes.push_back({clock_.Now(), bytes});
  if (onWrite) onWrite(bytes);
}

}  // namespace kbx::test
