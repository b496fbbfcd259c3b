#include "can_bus/damiao/registers.hpp"

#include <algorithm>
#include <array>

namespace quillet::can_bus::damiao {

namespace {

constexpr std::array<RegisterInfo, 53> kTable{{
    {"UV_Value", "Under-voltage protection value", 0, true, RegisterKind::Float},
    {"KT_Value", "Torque coefficient", 1, true, RegisterKind::Float},
    {"OT_Value", "Over-temperature protection", 2, true, RegisterKind::Float},
    {"OC_Value", "Over-current protection", 3, true, RegisterKind::Float},
    {"ACC", "Acceleration", 4, true, RegisterKind::Float},
    {"DEC", "Deceleration", 5, true, RegisterKind::Float},
    {"MAX_SPD", "Maximum speed", 6, true, RegisterKind::Float},
    {"MST_ID", "Feedback (master) CAN id", 7, true, RegisterKind::Uint32},
    {"ESC_ID", "Receive (motor) CAN id", 8, true, RegisterKind::Uint32},
    {"TIMEOUT", "Timeout alarm (1 unit = 50 us)", 9, true, RegisterKind::Uint32},
    {"CTRL_MODE", "Control mode 1=MIT 2=POS_VEL 3=VEL 4=FORCE_POS", 10, true, RegisterKind::Uint32},
    {"Damp", "Viscous damping coefficient", 11, false, RegisterKind::Float},
    {"Inertia", "Moment of inertia", 12, false, RegisterKind::Float},
    {"hw_ver", "Hardware version (reserved)", 13, false, RegisterKind::Uint32},
    {"sw_ver", "Software version", 14, false, RegisterKind::Uint32},
    {"SN", "Serial number (reserved)", 15, false, RegisterKind::Uint32},
    {"NPP", "Motor pole pairs", 16, false, RegisterKind::Uint32},
    {"Rs", "Phase resistance", 17, false, RegisterKind::Float},
    {"Ls", "Phase inductance", 18, false, RegisterKind::Float},
    {"Flux", "Flux linkage", 19, false, RegisterKind::Float},
    {"Gr", "Gear reduction ratio", 20, false, RegisterKind::Float},
    {"PMAX", "Position mapping range", 21, true, RegisterKind::Float},
    {"VMAX", "Speed mapping range", 22, true, RegisterKind::Float},
    {"TMAX", "Torque mapping range", 23, true, RegisterKind::Float},
    {"I_BW", "Current loop bandwidth", 24, true, RegisterKind::Float},
    {"KP_ASR", "Speed loop Kp", 25, true, RegisterKind::Float},
    {"KI_ASR", "Speed loop Ki", 26, true, RegisterKind::Float},
    {"KP_APR", "Position loop Kp", 27, true, RegisterKind::Float},
    {"KI_APR", "Position loop Ki", 28, true, RegisterKind::Float},
    {"OV_Value", "Over-voltage protection", 29, true, RegisterKind::Float},
    {"GREF", "Gear torque efficiency", 30, true, RegisterKind::Float},
    {"Deta", "Speed loop damping", 31, true, RegisterKind::Float},
    {"V_BW", "Speed loop filter bandwidth", 32, true, RegisterKind::Float},
    {"IQ_c1", "Current loop enhancement", 33, true, RegisterKind::Float},
    {"VL_c1", "Speed loop enhancement", 34, true, RegisterKind::Float},
    {"can_br", "CAN baud rate code (0..4)", 35, true, RegisterKind::Uint32},
    {"sub_ver", "Sub-version number", 36, false, RegisterKind::Uint32},
    {"u_off", "U-phase offset", 50, false, RegisterKind::Float},
    {"v_off", "V-phase offset", 51, false, RegisterKind::Float},
    {"k1", "Compensation factor 1", 52, false, RegisterKind::Float},
    {"k2", "Compensation factor 2", 53, false, RegisterKind::Float},
    {"m_off", "Output-shaft angle offset", 54, false, RegisterKind::Float},
    {"dir", "Direction", 55, false, RegisterKind::Float},
    {"m_off_motor", "Motor-side angle offset", 56, false, RegisterKind::Float},
    {"Imax", "Driver board max current", 59, false, RegisterKind::Float},
    {"VBus", "Power supply voltage", 60, false, RegisterKind::Float},
    {"Tpcb", "Driver board temperature", 61, false, RegisterKind::Float},
    {"Tmtr", "Motor temperature", 62, false, RegisterKind::Float},
    {"Iu_off", "U-phase current offset", 63, false, RegisterKind::Float},
    {"Iv_off", "V-phase current offset", 64, false, RegisterKind::Float},
    {"Iw_off", "W-phase current offset", 65, false, RegisterKind::Float},
    {"p_m", "Motor position", 80, false, RegisterKind::Float},
    {"xout", "Output shaft position", 81, false, RegisterKind::Float},
}};

// lookup() indexes by id; the table must stay sorted and free of duplicates.
constexpr bool sorted_by_id() {
  for (std::size_t i = 1; i < kTable.size(); ++i) {
    if (kTable[i - 1].id >= kTable[i].id) return false;
  }
  return true;
}
static_assert(sorted_by_id());

constexpr std::array<std::int8_t, 256> make_index() {
  std::array<std::int8_t, 256> index{};
  index.fill(-1);
  for (std::size_t i = 0; i < kTable.size(); ++i) index[kTable[i].id] = static_cast<std::int8_t>(i);
  return index;
}
constexpr std::array<std::int8_t, 256> kIndex = make_index();

}  // namespace

std::string_view debug_text(RegisterKind kind) {
  switch (kind) {
    case RegisterKind::Float:
      return "Float";
    case RegisterKind::Uint32:
      return "Uint32";
  }
  return "Uint32";
}

const RegisterInfo* lookup(std::uint8_t id) {
  const int i = kIndex[id];
  return i < 0 ? nullptr : &kTable[static_cast<std::size_t>(i)];
}

std::span<const RegisterInfo> register_table() { return kTable; }

}  // namespace quillet::can_bus::damiao
