// The control channel: one request line of space-separated words in, one JSON object line out.
// Its owner (the Python package) closing the channel stops the torso.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "can_bus.hpp"
#include "event_loop.hpp"
#include "servo_line.hpp"
#include "servos.hpp"

namespace qsim {

struct Torso {
  std::unique_ptr<ServoBus> servo_bus;   // absent: no servo line at all
  std::unique_ptr<ServoLine> servo_line;
  std::unique_ptr<CanBus> can_bus;
};

class Control {
 public:
  Control(EventLoop& loop, int fd, Torso& torso);
  ~Control();

  // Sends one line; the control socket is blocking for writes, so answers are never cut.
  void send_line(const std::string& json);

  // Answers one request; the JSON text without line end.
  std::string handle(const std::vector<std::string_view>& words);

 private:
  void on_readable();

  EventLoop& loop_;
  int fd_;
  Torso& torso_;
  std::string buffer_;
};

}  // namespace qsim
