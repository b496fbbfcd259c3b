// quillet-torso: the virtual torso daemon. Started by the Python package quillet_sim with a
// control channel on an inherited descriptor; stops when that channel closes or on SIGINT,
// SIGTERM or SIGHUP.
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "can_bus.hpp"
#include "control.hpp"
#include "event_loop.hpp"
#include "json.hpp"
#include "servo_line.hpp"
#include "servos.hpp"

namespace {

constexpr std::string_view kUsage =
    "usage: quillet-torso [--control-fd FD] [--servos IDS|none | --no-servo-bus]\n"
    "                     [--motors IDS|none] [--wire-timing] [--serial-link PATH]\n"
    "                     [--can-interface NAME] [--classic-can]\n";

struct Options {
  int control_fd = -1;
  bool servo_bus = true;
  std::vector<std::uint8_t> servos{1, 2, 3, 4, 5, 6, 7};
  std::vector<std::uint8_t> motors{1, 2, 3};
  bool wire_timing = false;
  bool can_fd = true;
  std::optional<std::string> serial_link;
  std::string can_interface;
};

std::optional<std::vector<std::uint8_t>> parse_ids(std::string_view text) {
  std::vector<std::uint8_t> ids;
  if (text == "none") return ids;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string part(text.substr(0, comma));
    char* end = nullptr;
    const long id = std::strtol(part.c_str(), &end, 10);
    if (part.empty() || *end != '\0' || id < 1 || id > 253) return std::nullopt;
    ids.push_back(static_cast<std::uint8_t>(id));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return ids;
}

std::optional<Options> parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= argc) return std::nullopt;
      return std::string_view(argv[++i]);
    };
    if (arg == "--wire-timing") {
      o.wire_timing = true;
    } else if (arg == "--classic-can") {
      o.can_fd = false;
    } else if (arg == "--no-servo-bus") {
      o.servo_bus = false;
    } else if (arg == "--control-fd" || arg == "--servos" || arg == "--motors" || arg == "--serial-link" ||
               arg == "--can-interface") {
      auto v = value();
      if (!v) return std::nullopt;
      if (arg == "--control-fd") {
        o.control_fd = std::atoi(std::string(*v).c_str());
        if (o.control_fd < 0) return std::nullopt;
      } else if (arg == "--servos" || arg == "--motors") {
        auto ids = parse_ids(*v);
        if (!ids) return std::nullopt;
        (arg == "--servos" ? o.servos : o.motors) = *ids;
      } else if (arg == "--serial-link") {
        o.serial_link = std::string(*v);
      } else {
        o.can_interface = std::string(*v);
      }
    } else {
      return std::nullopt;
    }
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qsim;
  const auto options = parse(argc, argv);
  if (!options) {
    std::fputs(kUsage.data(), stderr);
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  sigprocmask(SIG_BLOCK, &stops, nullptr);
  const int signal_fd = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);

  EventLoop loop;
  if (signal_fd >= 0) loop.watch(signal_fd, EPOLLIN, [&loop](std::uint32_t) { loop.quit(); });

  Torso torso;
  std::string error;
  if (options->servo_bus) {
    torso.servo_bus = std::make_unique<ServoBus>(options->servos, now());
    torso.servo_line = std::make_unique<ServoLine>(loop, *torso.servo_bus, options->wire_timing, options->serial_link);
    error = torso.servo_line->plug();
  }
  torso.can_bus = std::make_unique<CanBus>(loop, options->motors, options->wire_timing, options->can_fd);
  if (error.empty()) error = torso.can_bus->open(options->can_interface);

  JsonWriter hello;
  hello.begin_object().field("ok", error.empty());
  if (error.empty()) {
    hello.field("can_interface", torso.can_bus->name());
    hello.key("pty_path");
    if (torso.servo_line) hello.string(torso.servo_line->pty_path());
    else hello.null();
  } else {
    hello.field("error", error);
  }
  hello.end_object();

  std::unique_ptr<Control> control;
  if (options->control_fd >= 0) {
    control = std::make_unique<Control>(loop, options->control_fd, torso);
    control->send_line(hello.text());
  } else if (error.empty()) {
    std::printf("serial port: %s\nCAN interface: %s\n",
                torso.servo_line ? torso.servo_line->pty_path().c_str() : "(none)", torso.can_bus->name().c_str());
    std::fflush(stdout);
  }
  if (!error.empty()) {
    std::fprintf(stderr, "quillet-torso: %s\n", error.c_str());
    return 1;
  }

  loop.run();

  control.reset();
  torso.servo_line.reset();  // closes the pseudo-terminal and removes the symlink
  torso.can_bus.reset();
  if (signal_fd >= 0) {
    loop.unwatch(signal_fd);
    close(signal_fd);
  }
  return 0;
}
