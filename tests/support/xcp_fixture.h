#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "fake_port.h"
#include "link/frame.h"
#include "recording_host.h"
#include "ups/startup.h"
#include "ups/xcp.h"
#include "virtual_clock.h"
#include "xcp_probe.h"

namespace kbx::test {

inline Bytes Ack(std::uint8_t status) {
  return BuildResponseFrame(9, 0x81, {status});
}
inline Bytes Block(std::uint8_t block, const Bytes& data) {
  return BuildResponseFrame(block, 0x81, data);
}
inline Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// An identification block: versions as {major, minor}, selector, meter map,
// flag map length, type block length and third map length.
inline Bytes IdBlock(const std::vector<std::pair<std::uint8_t, std::uint8_t>>& versions,
                     std::uint8_t selector, const Bytes& meterMap, std::uint8_t flags,
                     std::uint16_t typeLength, std::uint8_t third = 0) {
  Bytes b{static_cast<std::uint8_t>(versions.size())};
  for (auto [major, minor] : versions) b.insert(b.end(), {minor, major});
  b.push_back(selector);
  if (selector == 0) b.insert(b.end(), {0x00, 0x00});
  b.insert(b.end(), {0x00, 0x00, 0x02, 'A', 'B'});
  b.push_back(static_cast<std::uint8_t>(meterMap.size()));
  b.insert(b.end(), meterMap.begin(), meterMap.end());
  b.push_back(flags);
  b.insert(b.end(), flags, 0x00);
  b.push_back(static_cast<std::uint8_t>(typeLength & 0xFF));
  b.push_back(static_cast<std::uint8_t>(typeLength >> 8));
  b.push_back(third);
  b.insert(b.end(), third, 0x00);
  return b;
}

// A meter map of 36 meters that reports meters 3, 10 and 36 (36 at k = 2).
inline Bytes MeterMap36(std::uint8_t format36) {
  Bytes map(36, 0);
  map[2] = 0x40;
  map[9] = 0x40;
  map[35] = format36;
  return map;
}

// A UPS that answers by request byte. Requests it has no answer for stay unanswered.
struct ScriptedUps {
  std::map<std::uint8_t, std::vector<Bytes>> answers;  // consumed in order; the last one repeats
  std::vector<Bytes> requests;                         // data bytes of every request

  void Attach(FakePort& port) {
    port.onWrite = [this, &port](const Bytes& frame) {
      if (frame.size() < 3) return;
      const Bytes data(frame.begin() + 2, frame.end() - 1);
      requests.push_back(data);
      auto it = answers.find(data[0]);
      if (it == answers.end() || it->second.empty()) return;
      Bytes answer = it->second.front();
      if (it->second.size() > 1) it->second.erase(it->second.begin());
      if (!answer.empty()) port.Deliver(answer);
    };
  }
  // Answers as a unit: the processors' versions as {major, minor}, meter 36
  // in `format36`, and the type codes its type block reports, one per
  // identification (the last one repeats).
  void BeUnit(const std::vector<std::uint16_t>& types,
              const std::vector<std::pair<std::uint8_t, std::uint8_t>>& versions = {{1, 3}, {1, 3}},
              std::uint8_t format36 = 0xF0) {
    answers[0xA0] = {Block(1, IdBlock(versions, 0x05, MeterMap36(format36), 1, 16))};
    answers[0x36].clear();
    for (std::uint16_t type : types) {
      Bytes typeBlock(16, 0);
      typeBlock[0] = static_cast<std::uint8_t>(type & 0xFF);
      typeBlock[1] = static_cast<std::uint8_t>(type >> 8);
      answers[0x36].push_back(Block(6, typeBlock));
    }
  }
  std::vector<Bytes> RequestsStartingWith(std::uint8_t command) const {
    std::vector<Bytes> out;
    for (const auto& r : requests)
      if (!r.empty() && r[0] == command) out.push_back(r);
    return out;
  }
};

class XcpTest : public ::testing::Test {
 protected:
  VirtualClock clock;
  FakePort port{clock};
  RecordingHost host;
  Xcp xcp{port, clock, host};
  XcpLink& link = XcpProbe::Link(xcp);
  ScriptedUps ups;

  void SetUp() override {
    EXPECT_FALSE(StartUp(xcp).portFailure);
    host.board.clear();
  }

  // A unit of the given type with two processors of the given second version.
  void Unit(std::uint16_t type, std::pair<std::uint8_t, std::uint8_t> cpu2 = {0x01, 0x03},
            std::uint8_t format36 = 0xF0) {
    ups.BeUnit({type}, {{0x01, 0x03}, cpu2}, format36);
    ups.Attach(port);
  }

  // A fresh unit with the given versions whose type block reports `types`
  // (see ScriptedUps::BeUnit), on a board cleared of what came before.
  void UnitWith(const std::vector<std::pair<std::uint8_t, std::uint8_t>>& versions,
                const std::vector<std::uint16_t>& types) {
    if (xcp.LinkUp()) xcp.DisconnectUps();
    ups = ScriptedUps{};
    ups.BeUnit(types, versions);
    ups.Attach(port);
    host.ClearBoard();
  }

  // Connects to a unit of the given type and forgets the connect's traffic.
  void Connected(std::uint16_t type) {
    Unit(type);
    xcp.ConnectUps();
    ASSERT_TRUE(xcp.LinkUp()) << type;
    ups.requests.clear();
    port.writes.clear();
    host.board.clear();
  }
};

}  // namespace kbx::test
