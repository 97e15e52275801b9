#include "platform/qt_serial_control.h"

#include <poll.h>
#include <sys/stat.h>
#include <termios.h>

#include <QSerialPort>
#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "platform/baud_rates.h"

namespace kbx {
namespace {

// Bounds on the rounds of one poll, so that a peer that never stops sending
// cannot keep a call from returning.
constexpr int kMaxReadRounds = 64;
constexpr int kMaxWriteRounds = 16;

// True when nothing is at `path` (a folder on the way that may not be looked
// into is no proof of that: opening it says more).
bool NamesNothing(const std::string& path) {
  struct stat st {};
  if (path.empty()) return true;
  if (::stat(path.c_str(), &st) == 0) return false;
  return errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == ENAMETOOLONG;
}

// Splits at every comma; "a,,b" gives three fields, "" gives one empty field.
std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields(1);
  for (const char c : text) {
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// A plain decimal number of at most nine digits.
bool ParseDecimal(const std::string& text, int& value) {
  if (text.empty() || text.size() > 9) return false;
  int v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

// What the poll of the descriptor says right now, without waiting.
short PollNow(int fd, short events) {
  pollfd pfd{fd, events, 0};
  int r = 0;
  do {
    r = ::poll(&pfd, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return POLLERR;
  return r == 0 ? 0 : pfd.revents;
}

constexpr short kLost = POLLERR | POLLHUP | POLLNVAL;

}  // namespace

QtSerialControl::QtSerialControl(const PortMap& ports, std::string lockFolder)
    : ports_(ports), lockFolder_(std::move(lockFolder)), port_(std::make_unique<QSerialPort>()) {}

QtSerialControl::~QtSerialControl() {
  Close();
}

void QtSerialControl::Fail(int number, const std::string& device, const std::string& reason) {
  failure_ = PortFailure{};
  failure_.number = number;
  failure_.device = device;
  failure_.reason = reason;
  throw RunTimeError(number);
}

bool QtSerialControl::ParseSettings(const std::string& text, LineSettings& settings) {
  const std::vector<std::string> fields = SplitFields(text);
  if (fields.size() != 4) return false;
  LineSettings parsed;

  if (!ParseDecimal(fields[0], parsed.baud)) return false;
  if (std::find(kBaudRates.begin(), kBaudRates.end(), parsed.baud) == kBaudRates.end()) return false;

  if (fields[1].size() != 1) return false;
  switch (fields[1][0]) {
    case 'N':
    case 'n':
      parsed.parity = 'N';
      break;
    case 'E':
    case 'e':
      parsed.parity = 'E';
      break;
    case 'O':
    case 'o':
      parsed.parity = 'O';
      break;
    case 'M':
    case 'm':
      parsed.parity = 'M';
      break;
    case 'S':
    case 's':
      parsed.parity = 'S';
      break;
    default:
      return false;
  }

  if (!ParseDecimal(fields[2], parsed.dataBits) || parsed.dataBits < 5 || parsed.dataBits > 8) return false;

  if (fields[3] == "1") {
    parsed.stopHalves = 2;
  } else if (fields[3] == "1.5") {
    parsed.stopHalves = 3;
  } else if (fields[3] == "2") {
    parsed.stopHalves = 4;
  } else {
    return false;
  }

  settings = parsed;
  return true;
}

std::string QtSerialControl::FormatSettings(const LineSettings& settings) {
  std::string stop = settings.stopHalves == 3 ? "1.5" : settings.stopHalves == 4 ? "2" : "1";
  return std::to_string(settings.baud) + "," + settings.parity + "," + std::to_string(settings.dataBits) +
         "," + stop;
}

void QtSerialControl::SetCommPort(int number) {
  failure_ = PortFailure{};
  const std::string current = "COM" + std::to_string(commPort_);
  if (port_->isOpen())
    Fail(kErrPortAlreadyOpen, ports_.Device(commPort_), current + " is open; close it first");
  const std::string com = "COM" + std::to_string(number);
  if (number < 1) Fail(kErrInvalidPortNumber, "", com + " names no port: port numbers start at 1");
  const std::string device = ports_.Device(number);
  if (NamesNothing(device))
    Fail(kErrInvalidPortNumber, device, com + " is " + device + ", which does not exist");
  commPort_ = number;
}

void QtSerialControl::SetSettings(const std::string& settings) {
  LineSettings parsed;
  if (!ParseSettings(settings, parsed)) throw RunTimeError(kErrInvalidProperty);
  if (port_->isOpen() && !ApplyLine(parsed)) {
    ApplyLine(line_);
    port_->clearError();
    throw RunTimeError(kErrCommState);
  }
  line_ = parsed;
}

std::string QtSerialControl::Settings() const {
  return FormatSettings(line_);
}

bool QtSerialControl::PortOpen() const {
  return port_->isOpen();
}

void QtSerialControl::SetPortOpen(bool open) {
  if (open) {
    Open();
  } else {
    Close();
  }
}

void QtSerialControl::Open() {
  const std::string device = ports_.Device(commPort_);
  if (port_->isOpen()) Fail(kErrPortAlreadyOpen, device, device + " is already open in this program");

  std::unique_ptr<PortLock> lock = PortLock::Take(device, lockFolder_, failure_);
  if (!lock) throw RunTimeError(failure_.number);
  port_->setPortName(QString::fromStdString(lock->AccessPath()));
  if (!port_->open(QIODevice::ReadWrite)) {
    const std::string why = port_->errorString().toStdString();
    port_->clearError();
    Fail(kErrDeviceNotOpen, device, device + " cannot be opened: " + why);
  }
  port_->clearError();
  lock_ = std::move(lock);
  if (!ApplyLine(line_)) {
    Close();
    Fail(kErrCommState, device, device + " does not take the line settings " + FormatSettings(line_));
  }
  ApplyHandshake();
  ApplyModemLines();
  // A freshly opened port starts with nothing received.
  port_->clear(QSerialPort::Input);
  port_->clearError();
  received_.clear();
}

void QtSerialControl::Close() {
  if (port_->isOpen()) {
    try {
      Transmit();
    } catch (const RunTimeError&) {
      // The device is gone; closing is all that is left to do.
    }
    port_->close();
    port_->clearError();
  }
  lock_.reset();
  received_.clear();
}

bool QtSerialControl::ApplyLine(const LineSettings& line) {
  // termios has no 1.5 stop bits; a UART gives 1.5 for "two" at 5 data bits
  // only, so any other combination cannot be set.
  if (line.stopHalves == 3 && line.dataBits != 5) return false;

  QSerialPort::Parity parity = QSerialPort::NoParity;
  switch (line.parity) {
    case 'E':
      parity = QSerialPort::EvenParity;
      break;
    case 'O':
      parity = QSerialPort::OddParity;
      break;
    case 'M':
      parity = QSerialPort::MarkParity;
      break;
    case 'S':
      parity = QSerialPort::SpaceParity;
      break;
    default:
      break;
  }
  const auto dataBits = static_cast<QSerialPort::DataBits>(line.dataBits);
  const QSerialPort::StopBits stopBits = line.stopHalves == 2 ? QSerialPort::OneStop : QSerialPort::TwoStop;

  const bool ok = port_->setBaudRate(line.baud) && port_->setDataBits(dataBits) && port_->setParity(parity) &&
                  port_->setStopBits(stopBits);
  port_->clearError();
  return ok && LineIs(line);
}

bool QtSerialControl::LineIs(const LineSettings& line) const {
  // A driver may quietly keep what its hardware can do instead (a
  // pseudo-terminal always runs 8 data bits without parity), and Qt does not
  // notice every such case; so read the line back.
  termios tio{};
  if (::tcgetattr(static_cast<int>(port_->handle()), &tio) != 0) return false;
  tcflag_t size = CS8;
  switch (line.dataBits) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    default:
      break;
  }
  tcflag_t parity = 0;
  switch (line.parity) {
    case 'E':
      parity = PARENB;
      break;
    case 'O':
      parity = PARENB | PARODD;
      break;
    case 'M':
      parity = PARENB | PARODD | CMSPAR;
      break;
    case 'S':
      parity = PARENB | CMSPAR;
      break;
    default:
      break;
  }
  const tcflag_t parityBits = (tio.c_cflag & PARENB) ? tio.c_cflag & (PARENB | PARODD | CMSPAR) : 0;
  const bool twoStop = (tio.c_cflag & CSTOPB) != 0;
  return (tio.c_cflag & CSIZE) == size && parityBits == parity && twoStop == (line.stopHalves != 2);
}

void QtSerialControl::ApplyHandshake() {
  if (!port_->isOpen()) return;
  QSerialPort::FlowControl flow = QSerialPort::NoFlowControl;
  if (handshaking_ == 1) flow = QSerialPort::SoftwareControl;
  // Qt has no combined mode; RTS/CTS is the one that matters on the wire.
  if (handshaking_ >= 2) flow = QSerialPort::HardwareControl;
  port_->setFlowControl(flow);
  port_->clearError();
}

void QtSerialControl::ApplyModemLines() {
  if (!port_->isOpen()) return;
  // A pseudo-terminal has no modem lines ("Inappropriate ioctl"); that is
  // not a failure of the port.
  port_->setDataTerminalReady(dtr_);
  // With RTS/CTS handshaking the driver owns RTS.
  if (port_->flowControl() != QSerialPort::HardwareControl) port_->setRequestToSend(rts_);
  port_->clearError();
}

void QtSerialControl::SetRTSEnable(bool on) {
  rts_ = on;
  ApplyModemLines();
}

void QtSerialControl::SetDTREnable(bool on) {
  dtr_ = on;
  ApplyModemLines();
}

void QtSerialControl::SetHandshaking(long mode) {
  if (mode < 0 || mode > 3) throw RunTimeError(kErrInvalidProperty);
  handshaking_ = mode;
  ApplyHandshake();
  ApplyModemLines();
}

void QtSerialControl::SetInBufferSize(int size) {
  if (size < 1) throw RunTimeError(kErrInvalidProperty);
  inBufferSize_ = size;
  if (received_.size() > static_cast<std::size_t>(size)) received_.resize(static_cast<std::size_t>(size));
}

void QtSerialControl::SetOutBufferSize(int size) {
  if (size < 1) throw RunTimeError(kErrInvalidProperty);
  outBufferSize_ = size;
}

void QtSerialControl::Store(const char* data, long long size) {
  const std::size_t room =
      received_.size() < static_cast<std::size_t>(inBufferSize_) ? inBufferSize_ - received_.size() : 0;
  const std::size_t take = std::min(room, static_cast<std::size_t>(size));
  received_.insert(received_.end(), data, data + take);
  // The rest is lost: the receive buffer was full when it came.
}

void QtSerialControl::Receive() {
  if (!port_->isOpen()) return;
  // Qt only reads from the device inside waitForReadyRead (or an event loop,
  // which the program does not run); with a zero time-out it does not wait.
  for (int round = 0; round < kMaxReadRounds; ++round) {
    if (!port_->waitForReadyRead(0)) break;
    const QByteArray chunk = port_->readAll();
    Store(chunk.constData(), chunk.size());
  }
  const QByteArray rest = port_->readAll();
  Store(rest.constData(), rest.size());

  const QSerialPort::SerialPortError error = port_->error();
  port_->clearError();  // the time-out the last wait leaves behind, or worse
  if (error != QSerialPort::NoError && error != QSerialPort::TimeoutError) throw RunTimeError(kErrReadDevice);
  if (PollNow(static_cast<int>(port_->handle()), POLLIN) & kLost) throw RunTimeError(kErrReadDevice);
}

void QtSerialControl::Transmit() {
  if (!port_->isOpen()) return;
  const int fd = static_cast<int>(port_->handle());
  for (int round = 0; round < kMaxWriteRounds && port_->bytesToWrite() > 0; ++round) {
    const short events = PollNow(fd, POLLOUT);
    if (events & kLost) throw RunTimeError(kErrWriteDevice);
    // Not writable: the device's own queue is full. Qt would report the
    // refused write as a resource error, so wait for the next call instead.
    if (!(events & POLLOUT)) return;
    port_->flush();  // writes what the device takes, without waiting
    const QSerialPort::SerialPortError error = port_->error();
    port_->clearError();
    if (error != QSerialPort::NoError && error != QSerialPort::TimeoutError)
      throw RunTimeError(kErrWriteDevice);
  }
}

int QtSerialControl::InBufferCount() {
  if (!port_->isOpen()) return 0;
  Receive();
  return static_cast<int>(received_.size());
}

void QtSerialControl::SetInBufferCount(int count) {
  if (count != 0) throw RunTimeError(kErrInvalidProperty);
  received_.clear();
  if (!port_->isOpen()) return;
  // Also what the device and Qt still hold.
  port_->clear(QSerialPort::Input);
  port_->readAll();
  port_->clearError();
}

int QtSerialControl::OutBufferCount() {
  if (!port_->isOpen()) return 0;
  Transmit();
  return static_cast<int>(port_->bytesToWrite());
}

void QtSerialControl::SetInputMode(long mode) {
  if (mode < 0 || mode > 1) throw RunTimeError(kErrInvalidProperty);
  inputMode_ = mode;
}

void QtSerialControl::SetInputLen(int len) {
  if (len < 0) throw RunTimeError(kErrInvalidProperty);
  inputLen_ = len;
}

void QtSerialControl::SetSThreshold(int threshold) {
  if (threshold < 0) throw RunTimeError(kErrInvalidProperty);
  sThreshold_ = threshold;
}

void QtSerialControl::SetRThreshold(int threshold) {
  if (threshold < 0) throw RunTimeError(kErrInvalidProperty);
  rThreshold_ = threshold;
}

Bytes QtSerialControl::Input() {
  if (!port_->isOpen()) throw RunTimeError(kErrDeviceNotOpen);
  Receive();
  Bytes bytes;
  bytes.swap(received_);
  return bytes;
}

void QtSerialControl::Output(const Bytes& bytes) {
  if (!port_->isOpen()) throw RunTimeError(kErrDeviceNotOpen);
  if (!bytes.empty()) {
    const auto size = static_cast<qint64>(bytes.size());
    if (port_->write(reinterpret_cast<const char*>(bytes.data()), size) != size) {
      port_->clearError();
      throw RunTimeError(kErrWriteDevice);
    }
  }
  // Without this the bytes would wait in Qt's buffer for an event loop.
  Transmit();
}

}  // namespace kbx
