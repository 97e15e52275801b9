#pragma once

#include <utility>

#include "fake_port.h"
#include "sim/ups_model.h"

namespace kbx::test {

// The simulator's unit behind the in-memory port: every frame written reaches
// the model, and its answer arrives `delayMs` later on the virtual clock. A
// whole session with a simulated UPS then takes no real time.
class SimulatedUps {
 public:
  explicit SimulatedUps(SimOptions options = {}) : model(std::move(options)) {}

  void Attach(FakePort& port, int delayMs = 20) {
    port.AnswerEach([this](const Bytes& frame) { return model.Receive(frame); }, delayMs);
  }

  UpsModel model;
};

}  // namespace kbx::test
