// The two faces of a scan report: a table for people and JSON for programs.
//
// JSON layout (every key always present; unknown values are null):
//   {"ready": bool, "problems": [str], "notes": [str],
//    "serial": {"path": str|null, "scanned": bool, "reached": bool, "error": str|null,
//               "adapter": {"pseudo_terminal": bool, "driver": str|null,
//                           "latency_timer_ms": int|null}|null},   null until reached
//    "servos": [{"joint", "id", "model", "answers", "baud_rate", "position_rad", "position_steps",
//                "voltage_v", "voltage_raw", "torque_enabled", "gains": {"p", "d", "i"}|null,
//                "errors": [str]}],            seven, in joint order; baud_rate: the other rate
//                                              a servo silent at 1 Mbaud answered at, or null
//    "other_ids": [int]|null,                  null without --all-ids
//    "can": {"interface": str|null, "scanned": bool, "reached": bool, "error": str|null,
//            "acknowledged": bool|null},       false when no device acknowledges frames
//    "neck": [{"joint", "can_id", "answers", "control_mode", "mit", "position_rad",
//              "errors": [str]}]}              three: yaw, pitch, roll
#pragma once

#include <string>

#include "scan.hpp"

namespace quillet::tools::scan {

std::string render_table(const ScanReport& report);
std::string render_json(const ScanReport& report);

}  // namespace quillet::tools::scan
