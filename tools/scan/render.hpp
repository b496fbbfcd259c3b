// The two faces of a scan report: a table for people and JSON for programs.
//
// JSON layout (every key always present; unknown values are null):
//   {"ready": bool, "problems": [str], "notes": [str],
//    "serial": {"path": str|null, "scanned": bool, "reached": bool, "error": str|null},
//    "servos": [{"joint", "id", "model", "answers", "position_rad", "position_steps",
//                "voltage_v", "voltage_raw", "torque_enabled", "gains": {"p", "d", "i"}|null,
//                "errors": [str]}],            seven, in joint order
//    "other_ids": [int]|null,                  null without --all-ids
//    "can": {"interface": str|null, "scanned": bool, "reached": bool, "error": str|null},
//    "neck": [{"joint", "can_id", "answers", "control_mode", "mit", "position_rad",
//              "errors": [str]}]}              three: yaw, pitch, roll
#pragma once

#include <string>

#include "scan.hpp"

namespace quillet::tools::scan {

std::string render_table(const ScanReport& report);
std::string render_json(const ScanReport& report);

}  // namespace quillet::tools::scan
