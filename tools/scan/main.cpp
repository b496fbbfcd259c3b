// quillet-scan: checks the wiring, ids, supply and modes of the torso's ten motors, read-only.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "platform/unique_fd.hpp"
#include "render.hpp"
#include "scan.hpp"

namespace {

constexpr std::string_view kUsage =
    "usage: quillet-scan [--serial PATH] [--can IFACE | --no-can] [--all-ids] [--[no-]probe-baud]\n"
    "                    [--json]\n"
    "\n"
    "Reports what each of the torso's ten motors answers, without changing anything: it never\n"
    "enables torque and never writes a register.\n"
    "\n"
    "  --serial PATH    serial device of the servo bus (left out: the servos are not scanned)\n"
    "  --can IFACE      SocketCAN interface of the neck motors (default: can0)\n"
    "  --no-can         leave the CAN bus out\n"
    "  --all-ids        also ping servo ids 0 to 253 and list those the robot does not use\n"
    "  --probe-baud     ping each servo that does not answer at 1 Mbaud at the other rates\n"
    "                   servos take, 500000 down to 38400 (the default)\n"
    "  --no-probe-baud  do not\n"
    "  --json           print JSON for programs instead of the table\n"
    "\n"
    "Exit status: 0 when all ten devices answer and every servo supply is at least 11.0 V,\n"
    "1 otherwise, 2 on a bad command line.\n";

constexpr int kReady = 0;
constexpr int kNotReady = 1;
constexpr int kUsageError = 2;

int usage_error(std::string_view message) {
  std::fprintf(stderr, "quillet-scan: %.*s\n%.*s", static_cast<int>(message.size()), message.data(),
               static_cast<int>(kUsage.size()), kUsage.data());
  return kUsageError;
}

bool write_all(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  quillet::tools::scan::ScanOptions options;
  options.can_interface = "can0";
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view name) -> std::optional<std::string> {
      if (arg.starts_with(std::string(name) + "=")) return std::string(arg.substr(name.size() + 1));
      if (arg == name && i + 1 < argc) return std::string(argv[++i]);
      return std::nullopt;
    };
    if (arg == "-h" || arg == "--help") {
      std::fwrite(kUsage.data(), 1, kUsage.size(), stdout);
      return kReady;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--all-ids") {
      options.all_ids = true;
    } else if (arg == "--probe-baud" || arg == "--no-probe-baud") {
      options.probe_baud = arg == "--probe-baud";
    } else if (arg == "--no-can") {
      options.can_interface.reset();
    } else if (arg.starts_with("--serial")) {
      if (!(options.serial_path = value("--serial")) || options.serial_path->empty()) {
        return usage_error("--serial needs a path");
      }
    } else if (arg.starts_with("--can")) {
      if (!(options.can_interface = value("--can")) || options.can_interface->empty()) {
        return usage_error("--can needs an interface name");
      }
    } else {
      return usage_error("unknown argument " + std::string(arg));
    }
  }

  // The bus layers print a line on stdout when a servo reply fails its checksum: send such lines
  // to stderr, so that stdout carries the report alone and JSON stays readable.
  std::fflush(stdout);
  quillet::UniqueFd report_fd(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3));
  if (!report_fd.valid() || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    std::perror("quillet-scan: stdout");
    return kNotReady;
  }

  const auto report = quillet::tools::scan::run_scan(options);
  const std::string text = json ? quillet::tools::scan::render_json(report) : quillet::tools::scan::render_table(report);
  std::fflush(stdout);
  if (!write_all(report_fd.get(), text)) return kNotReady;
  return report.ready() ? kReady : kNotReady;
}
