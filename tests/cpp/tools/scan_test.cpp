// The scan's reading of sysfs and /proc, against fake trees, and what its report makes of them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "render.hpp"
#include "scan.hpp"

namespace fs = std::filesystem;
using namespace quillet::tools::scan;

namespace {

// A directory of its own under the test's temporary directory, removed afterwards.
class FakeTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quillet-scan-test-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
  }
  // A tty whose device is bound to `driver` (of kernel module `module`, when given).
  void tty(const std::string& name, const std::string& bus, const std::string& driver, const std::string& module) {
    const fs::path driver_dir = root_ / "bus" / bus / "drivers" / driver;
    fs::create_directories(driver_dir);
    if (!module.empty()) fs::create_directory_symlink(root_ / "module" / module, driver_dir / "module");
    const fs::path device = root_ / "class" / "tty" / name / "device";
    fs::create_directories(device);
    fs::create_directory_symlink(driver_dir, device / "driver");
  }

  fs::path root_;
};

TEST_F(FakeTree, AdapterDriverIsItsKernelModuleAndFtdiTellsItsLatencyTimer) {
  tty("ttyUSB0", "usb-serial", "ftdi_sio", "ftdi_sio");
  write(root_ / "class/tty/ttyUSB0/device/latency_timer", "16\n");
  tty("ttyUSB1", "usb-serial", "ch341-uart", "ch341");
  tty("ttyACM0", "usb", "cdc_acm", "");

  const AdapterReport ftdi = read_adapter("/nonexistent/ttyUSB0", root_);
  EXPECT_FALSE(ftdi.pseudo_terminal);
  EXPECT_EQ(ftdi.driver, "ftdi_sio");
  EXPECT_EQ(ftdi.latency_timer_ms, 16);
  const AdapterReport ch341 = read_adapter("/nonexistent/ttyUSB1", root_);
  EXPECT_EQ(ch341.driver, "ch341");  // the module, not the driver's own name "ch341-uart"
  EXPECT_EQ(ch341.latency_timer_ms, std::nullopt);
  EXPECT_EQ(read_adapter("/nonexistent/ttyACM0", root_).driver, "cdc_acm");  // no module link: the driver
  const AdapterReport unknown = read_adapter("/nonexistent/ttyS7", root_);
  EXPECT_EQ(unknown.driver, std::nullopt);
  EXPECT_EQ(unknown.latency_timer_ms, std::nullopt);
}

TEST_F(FakeTree, ProgramsThatGrabSerialAdaptersAreFoundByTheirProcessNames) {
  write(root_ / "1/comm", "systemd\n");
  write(root_ / "42/comm", "ModemManager\n");
  write(root_ / "77/comm", "brltty\n");
  write(root_ / "78/comm", "brltty\n");
  write(root_ / "self/comm", "ModemManager\n");  // not a process number
  write(root_ / "90/comm", "brltty-udev\n");
  EXPECT_EQ(running_programs(kSerialMeddlers, root_), (std::vector<std::string>{"ModemManager", "brltty"}));
  write(root_ / "42/comm", "bash\n");
  EXPECT_EQ(running_programs(kSerialMeddlers, root_), (std::vector<std::string>{"brltty"}));
  EXPECT_EQ(running_programs(kSerialMeddlers, root_ / "none"), (std::vector<std::string>{}));
}

}  // namespace

TEST(ScanReport, WhatTheAdapterAndTheMeddlersMakeOfTheReport) {
  ScanReport report;
  report.serial = {"/dev/ttyUSB0", true, true, std::nullopt};
  report.can = {"can0", true, true, std::nullopt};
  report.adapter = AdapterReport{false, "ftdi_sio", 16};
  report.meddlers = {"ModemManager"};
  const auto notes = report.notes();
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_NE(notes[0].find("16 ms"), std::string::npos) << notes[0];
  EXPECT_NE(notes[0].find("/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"), std::string::npos) << notes[0];
  EXPECT_EQ(notes[1].rfind("ModemManager is running", 0), 0u) << notes[1];
  EXPECT_NE(render_table(report).find("  adapter: kernel driver ftdi_sio, latency timer 16 ms\n"), std::string::npos);

  report.adapter->latency_timer_ms = 1;  // as the module's open leaves it: nothing to say
  report.meddlers.clear();
  EXPECT_TRUE(report.notes().empty());
}
