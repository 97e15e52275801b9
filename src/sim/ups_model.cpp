#include "sim/ups_model.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <stdexcept>

namespace kbx {

namespace {

// The meters besides the battery time: meter number, format code, value.
struct FixedMeter {
  int number;
  std::uint8_t format;
  double value;
};
constexpr FixedMeter kFixedMeters[] = {
    {3, 0x40, 230.0},  // output voltage
    {10, 0x40, 50.0},  // output frequency
    {38, 0xF0, 100},   // battery charge in percent
};
constexpr int kMeterMapLength = 40;

void PutLe32(Bytes& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t RoundToU32(double value) {
  const double rounded = std::nearbyint(value);
  if (!(rounded >= 0)) return 0;
  if (rounded >= 4294967295.0) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(rounded);
}

std::uint16_t Le16(const Bytes& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

}  // namespace

Bytes EncodeMeterValue(double value, std::uint8_t format) {
  Bytes out;
  if (format >= kFirstFixedPointFormat) {
    PutLe32(out, RoundToU32(std::ldexp(value, format - kFirstFixedPointFormat)));
  } else if (format >= 0x01 && format <= kLastSingleFormat) {
    PutLe32(out, std::bit_cast<std::uint32_t>(static_cast<float>(value)));
  } else {
    PutLe32(out, RoundToU32(value));
  }
  return out;
}

UpsModel::UpsModel(SimOptions options) : options_(std::move(options)) {
  if (options_.type < 0 || options_.type > 0xFFFF) throw std::invalid_argument("UPS type out of 0..65535");
  if (options_.versions.size() > 255) throw std::invalid_argument("more than 255 processors");
  if (options_.moduleCount < 0 || options_.moduleCount > 2)
    throw std::invalid_argument("module count out of 0..2");
  if (options_.batteryTime < 0) throw std::invalid_argument("negative battery time");
  if (options_.typeBlockLength < 0 || options_.typeBlockLength > 0xFFFF)
    throw std::invalid_argument("type block length out of 0..65535");
  if (options_.split < 1 || options_.split > 255) throw std::invalid_argument("split out of 1..255");
  if (options_.busy < 0) throw std::invalid_argument("negative busy count");
  if (options_.badChecksum < SimOptions::kEveryAnswer)
    throw std::invalid_argument("bad checksum count below -1");
  // The sequence byte numbers at most 127 frames.
  if (options_.longAnswer.Active() &&
      (options_.longAnswerLength < 0 || options_.longAnswerLength > 127 * options_.split))
    throw std::invalid_argument("long answer length out of 0..127 frames");

  moduleCount_ = options_.moduleCount;
  busyLeft_ = options_.busy;
  badChecksumLeft_ = options_.badChecksum;
  const auto baseTime = static_cast<std::uint16_t>(kBatteryBaseTime[static_cast<std::size_t>(moduleCount_)]);
  if (UsesVariables()) {
    variables_[kModuleCountVariable] = static_cast<std::uint16_t>(2 * moduleCount_ + 1);
    variables_[kBaseTimeVariable] = baseTime;
    ram_[kBaseTimeRamWord] = baseTime;
  } else {
    parameters_[kModuleCountParameter] = static_cast<std::uint16_t>(moduleCount_);
  }
}

bool RequestSelector::Selects(std::uint8_t requestCommand, int nthOfCommand, int nth) const {
  if (command == kNoCommand) return false;
  if (command == kAnyCommand) return occurrence == 0 || occurrence == nth;
  return command == requestCommand && (occurrence == 0 || occurrence == nthOfCommand);
}

Bytes UpsModel::Answers(const std::vector<Exchange>& exchanges) {
  Bytes out;
  for (const Exchange& exchange : exchanges)
    out.insert(out.end(), exchange.answer.begin(), exchange.answer.end());
  return out;
}

Bytes UpsModel::Receive(const Bytes& incoming) {
  return Answers(ReceiveExchanges(incoming));
}

Bytes UpsModel::LineIdle() {
  return Answers(LineIdleExchanges());
}

std::vector<UpsModel::Exchange> UpsModel::ReceiveExchanges(const Bytes& incoming) {
  pending_.insert(pending_.end(), incoming.begin(), incoming.end());
  return Process();
}

std::vector<UpsModel::Exchange> UpsModel::LineIdleExchanges() {
  std::vector<Exchange> out;
  while (!pending_.empty()) {
    pending_.erase(pending_.begin());
    std::vector<Exchange> more = Process();
    out.insert(out.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  }
  return out;
}

std::vector<UpsModel::Exchange> UpsModel::Process() {
  std::vector<Exchange> out;
  for (;;) {
    const auto start = std::find(pending_.begin(), pending_.end(), kFrameStart);
    pending_.erase(pending_.begin(), start);
    if (pending_.size() < 2) break;
    const std::size_t total = std::size_t{pending_[1]} + 3;
    if (pending_.size() < total) break;
    if (FrameChecksum(pending_.data(), total) != 0) {
      ++badFrames_;
      pending_.erase(pending_.begin());  // not a frame: look for the next start byte
      continue;
    }
    const Bytes frame(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(total));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(total));
    if (observer_) observer_(frame);
    Exchange exchange;
    exchange.request.assign(frame.begin() + 2, frame.end() - 1);
    exchange.answer = Answer(exchange.request);
    if (!exchange.request.empty()) {
      exchange.nthOfCommand = requestCounts_[exchange.request[0]];
      exchange.nth = static_cast<int>(requests_.size());
    }
    out.push_back(std::move(exchange));
  }
  return out;
}

Bytes UpsModel::Answer(const Bytes& request) {
  if (request.empty()) return {};
  requests_.push_back(request);
  ++requestCounts_[request[0]];
  std::optional<Reply> reply = Handle(request);
  if (!reply) return {};
  if (options_.longAnswer.Selects(request[0], requestCounts_[request[0]],
                                  static_cast<int>(requests_.size())) &&
      reply->data.size() < static_cast<std::size_t>(options_.longAnswerLength)) {
    reply->data.resize(static_cast<std::size_t>(options_.longAnswerLength), 0);
  }
  return Frames(*reply);
}

std::optional<UpsModel::Reply> UpsModel::Handle(const Bytes& request) {
  const std::uint8_t command = request[0];
  if (options_.silent) return std::nullopt;

  // The disconnect request locks the unit again; the link start is taken without a word.
  if (command == kDisconnectCommand) {
    if (request.size() == 1) locked_ = true;
    return std::nullopt;
  }

  const auto refusal = options_.refuse.find(command);
  // A 281 unit takes the switch request without a word and is a 280 from
  // then on (unless the switch request is refused on purpose).
  if (command == kSwitchCommand && ReportedType() == 281 && refusal == options_.refuse.end()) {
    switched_ = true;
    return std::nullopt;
  }

  if (busyLeft_ > 0) {
    --busyLeft_;
    return Ack(kAckBusy);
  }
  if (refusal != options_.refuse.end()) return Ack(refusal->second);

  switch (command) {
    case kIdentificationRequest:
      return Reply{kIdentificationBlock, IdentificationBlock()};
    case kTypeBlockRequest:
      return Reply{kTypeBlock, TypeBlock()};
    case kMeterBlockRequest:
      return Reply{kMeterBlock, MeterBlock()};
    case kAuthorizationCommand:
      return Authorize(request);
    case kSwitchCommand:
      return Ack(kAckAccepted);
    case kSetVariableCommand:
      return SetVariable(request);
    case kSetRamWordCommand:
      return SetRamWord(request);
    case kSetParameterCommand:
      return SetParameter(request);
    default:
      return Ack(kAckUnrecognized);
  }
}

UpsModel::Reply UpsModel::Authorize(const Bytes& request) {
  const auto& code = options_.accessCode;
  locked_ = !(request.size() == 4 && std::equal(code.begin(), code.end(), request.begin() + 1));
  return Ack(locked_ ? kAckInvalid : kAckAccepted);
}

UpsModel::Reply UpsModel::SetVariable(const Bytes& request) {
  if (locked_) return Ack(kAckInvalid);
  if (request.size() == 2 &&
      request[1] == kEepromChecksumVariable) {  // EEPROM checksum reset: commits the variables
    if (UsesVariables()) {
      const auto found = variables_.find(kModuleCountVariable);
      if (found != variables_.end()) moduleCount_ = (found->second - 1) / 2;
    }
    return Ack(kAckAccepted);
  }
  if (request.size() != 4 || request[1] == kEepromChecksumVariable) return Ack(kAckInvalid);
  const std::uint16_t value = Le16(request, 2);
  if (UsesVariables() && request[1] == kModuleCountVariable && value != 1 && value != 3 && value != 5)
    return Ack(kAckOutOfRange);
  variables_[request[1]] = value;
  return Ack(kAckAccepted);
}

UpsModel::Reply UpsModel::SetRamWord(const Bytes& request) {
  if (locked_) return Ack(kAckInvalid);
  if (request.size() != 5) return Ack(kAckInvalid);
  ram_[Le16(request, 1)] = Le16(request, 3);
  return Ack(kAckAccepted);
}

UpsModel::Reply UpsModel::SetParameter(const Bytes& request) {
  if (locked_) return Ack(kAckInvalid);
  if (request.size() != 4) return Ack(kAckInvalid);
  const std::uint16_t value = Le16(request, 2);
  if (!UsesVariables() && request[1] == kModuleCountParameter) {
    if (value > 2) return Ack(kAckOutOfRange);
    moduleCount_ = value;
  }
  parameters_[request[1]] = value;
  return Ack(kAckAccepted);
}

Bytes UpsModel::Frames(const Reply& reply) {
  Bytes out;
  const auto split = static_cast<std::size_t>(options_.split);
  const std::size_t count = std::max<std::size_t>(1, (reply.data.size() + split - 1) / split);
  const bool corrupt = badChecksumLeft_ != 0;
  if (badChecksumLeft_ > 0) --badChecksumLeft_;
  for (std::size_t i = 0; i < count; ++i) {
    const auto first =
        reply.data.begin() + static_cast<std::ptrdiff_t>(std::min(i * split, reply.data.size()));
    const auto last =
        reply.data.begin() + static_cast<std::ptrdiff_t>(std::min((i + 1) * split, reply.data.size()));
    auto sequence = static_cast<std::uint8_t>((i + 1) & kFrameNumberMask);
    if (i + 1 == count) sequence |= kLastFrameBit;
    Bytes frame = BuildResponseFrame(reply.block, sequence, Bytes(first, last));
    if (corrupt) frame.back() = static_cast<std::uint8_t>(frame.back() + 1);
    out.insert(out.end(), frame.begin(), frame.end());
  }
  return out;
}

Bytes UpsModel::MeterMap() const {
  Bytes map(kMeterMapLength, 0);
  for (const FixedMeter& meter : kFixedMeters) map[static_cast<std::size_t>(meter.number - 1)] = meter.format;
  map[kBatteryTimeMeter - 1] = options_.meter36Format;
  return map;
}

std::vector<int> UpsModel::ReportedMeters() const {
  const Bytes map = MeterMap();
  std::vector<int> numbers;
  for (std::size_t j = 0; j < map.size(); ++j)
    if (map[j] != 0) numbers.push_back(static_cast<int>(j) + 1);
  return numbers;
}

Bytes UpsModel::IdentificationBlock() const {
  Bytes block;
  block.push_back(static_cast<std::uint8_t>(options_.versions.size()));
  for (const FirmwareVersion& version : options_.versions) {
    block.push_back(version.Minor());
    block.push_back(version.Major());
  }
  block.push_back(0x05);                          // selector: no extension follows
  block.insert(block.end(), {0x00, 0x00});        // two reserved bytes
  block.insert(block.end(), {3, 'S', 'I', 'M'});  // length-prefixed model tag
  const Bytes map = MeterMap();
  block.push_back(static_cast<std::uint8_t>(map.size()));
  block.insert(block.end(), map.begin(), map.end());
  block.insert(block.end(), {4, 0x01, 0x00, 0x00, 0x01});  // flag map
  block.push_back(static_cast<std::uint8_t>(options_.typeBlockLength & 0xFF));
  block.push_back(static_cast<std::uint8_t>(options_.typeBlockLength >> 8));
  block.insert(block.end(), {2, 0x00, 0x00});  // third map
  return block;
}

Bytes UpsModel::TypeBlock() const {
  const int type = ReportedType();
  Bytes block{static_cast<std::uint8_t>(type & 0xFF), static_cast<std::uint8_t>(type >> 8)};
  block.resize(std::max<std::size_t>(2, static_cast<std::size_t>(options_.typeBlockLength)), 0);
  return block;
}

Bytes UpsModel::MeterBlock() const {
  const Bytes map = MeterMap();
  Bytes block;
  for (const int number : ReportedMeters()) {
    double value = BatteryTime();
    for (const FixedMeter& meter : kFixedMeters)
      if (meter.number == number) value = meter.value;
    const Bytes encoded = EncodeMeterValue(value, map[static_cast<std::size_t>(number - 1)]);
    block.insert(block.end(), encoded.begin(), encoded.end());
  }
  return block;
}

double UpsModel::BatteryTime() const {
  return static_cast<double>(options_.batteryTime) *
         kBatteryBaseTime[static_cast<std::size_t>(moduleCount_)] / kBatteryBaseTime[0];
}

std::optional<std::uint16_t> UpsModel::Variable(int number) const {
  const auto found = variables_.find(number);
  return found == variables_.end() ? std::nullopt : std::optional<std::uint16_t>(found->second);
}

std::optional<std::uint16_t> UpsModel::RamWord(int address) const {
  const auto found = ram_.find(address);
  return found == ram_.end() ? std::nullopt : std::optional<std::uint16_t>(found->second);
}

std::optional<std::uint16_t> UpsModel::Parameter(int number) const {
  const auto found = parameters_.find(number);
  return found == parameters_.end() ? std::nullopt : std::optional<std::uint16_t>(found->second);
}

int UpsModel::RequestCount(std::uint8_t command) const {
  return requestCounts_[command];
}

}  // namespace kbx
