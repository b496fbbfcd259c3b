#include "can_bus/damiao/driver.hpp"

#include <chrono>
#include <vector>

namespace quillet::can_bus::damiao {

namespace {

constexpr std::uint8_t kFeedbackCommand = 0xCC;
constexpr std::uint8_t kReadCommand = 0x33;
constexpr std::uint8_t kWriteCommand = 0x55;

constexpr std::array<std::uint8_t, 8> kEnableFrame{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
constexpr std::array<std::uint8_t, 8> kDisableFrame{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD};

CanFrame classic_frame(std::uint16_t id, const std::array<std::uint8_t, 8>& data) {
  return CanFrame{std::vector<std::uint8_t>(data.begin(), data.end()),
                       CanId::standard(id & 0x7FFu), false, false};
}

std::unexpected<Error> transport_failure(CanError e) {
  return std::unexpected(Error(std::move(e)));
}

}  // namespace

std::expected<Damiao, Error> Damiao::make(std::chrono::nanoseconds timeout, MitLimits limits,
                                          std::uint16_t can_id, std::uint16_t master_id) {
  const std::pair<const char*, float> fields[] = {{"p_max", limits.p_max},
                                                  {"v_max", limits.v_max},
                                                  {"kp_max", limits.kp_max},
                                                  {"kd_max", limits.kd_max},
                                                  {"t_max", limits.t_max}};
  for (const auto& [name, value] : fields) {
    // Written so that NaN fails too.
    if (!(value >= 0.0f)) return std::unexpected(Error(Error::InvalidLimits{name, value}));
  }
  return Damiao(timeout, limits, can_id, master_id);
}

std::expected<MotorState, Error> Damiao::cmd_at_arbitration(
    CanTransport& transport, std::uint16_t id,
    const std::array<std::uint8_t, 8>& data) const {
  const CanId feedback = CanId::standard(master_id_ & 0x7FFu);
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  auto reply = transport.request(classic_frame(id, data), feedback, timeout_);
  // The motors answer on the ids their commands use, where any other device or program may
  // send too: a frame that names another motor is not this one's reply.
  const auto names_another_motor = [this](const CanFrame& f) {
    return !f.data.empty() && (f.data[0] & 0x0Fu) != (can_id_ & 0x0Fu);
  };
  if (reply && names_another_motor(*reply)) {
    reply = recv_until(transport, deadline, [&](const CanFrame& f) {
      return f.id == feedback && !names_another_motor(f);
    });
  }
  if (!reply) return transport_failure(std::move(reply.error()));
  if (reply->data.size() < 8) {
    return std::unexpected(Error(Error::UnexpectedReply{std::move(reply->data)}));
  }
  return decode_state(limits_, reply->data);
}

std::expected<MotorState, Error> Damiao::enable(CanTransport& transport) const {
  return cmd_at_arbitration(transport, can_id_, kEnableFrame);
}

std::expected<MotorState, Error> Damiao::disable(CanTransport& transport) const {
  return cmd_at_arbitration(transport, can_id_, kDisableFrame);
}

std::expected<MotorState, Error> Damiao::control(CanTransport& transport,
                                                 const MitCommand& command) const {
  return cmd_at_arbitration(transport, can_id_, encode(limits_, command));
}

std::expected<MotorState, Error> Damiao::request_feedback(CanTransport& transport) const {
  const std::array<std::uint8_t, 8> data{static_cast<std::uint8_t>(can_id_ & 0xFF),
                                         static_cast<std::uint8_t>(can_id_ >> 8),
                                         kFeedbackCommand,
                                         0, 0, 0, 0, 0};
  return cmd_at_arbitration(transport, kManagementId, data);
}

std::expected<RegisterValue, Error> Damiao::read_register(CanTransport& transport,
                                                          std::uint8_t id) const {
  const RegisterInfo* info = lookup(id);
  if (!info) return std::unexpected(Error(Error::UnknownRegister{id}));

  const std::array<std::uint8_t, 8> data{static_cast<std::uint8_t>(can_id_ & 0xFF),
                                         static_cast<std::uint8_t>(can_id_ >> 8),
                                         kReadCommand,
                                         id,
                                         0, 0, 0, 0};
  // Every motor answers register reads with the same pattern, and a late answer to an earlier
  // read looks like this one's: only a frame that names this motor, received after the request,
  // is its reply.
  transport.discard_pending();
  if (auto sent = transport.send(classic_frame(kManagementId, data)); !sent) {
    return transport_failure(std::move(sent.error()));
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  auto reply = recv_until(transport, deadline, [&](const CanFrame& f) {
    return f.data.size() == 8 && f.data[0] == data[0] && f.data[1] == data[1] &&
           f.data[2] == kReadCommand && f.data[3] == id;
  });
  if (!reply) return transport_failure(std::move(reply.error()));
  const auto& d = reply->data;
  const std::uint32_t bits = std::uint32_t{d[4]} | (std::uint32_t{d[5]} << 8) |
                             (std::uint32_t{d[6]} << 16) | (std::uint32_t{d[7]} << 24);
  return RegisterValue{info->kind, bits};
}

std::expected<void, Error> Damiao::write_register(CanTransport& transport, std::uint8_t id,
                                                  RegisterValue value) const {
  const RegisterInfo* info = lookup(id);
  if (!info) return std::unexpected(Error(Error::UnknownRegister{id}));
  if (!info->writable) return std::unexpected(Error(Error::ReadOnly{id}));
  if (value.kind != info->kind) {
    return std::unexpected(Error(Error::TypeMismatch{id, info->kind, value.kind}));
  }
  const std::array<std::uint8_t, 8> data{static_cast<std::uint8_t>(can_id_ & 0xFF),
                                         static_cast<std::uint8_t>(can_id_ >> 8),
                                         kWriteCommand,
                                         id,
                                         static_cast<std::uint8_t>(value.bits),
                                         static_cast<std::uint8_t>(value.bits >> 8),
                                         static_cast<std::uint8_t>(value.bits >> 16),
                                         static_cast<std::uint8_t>(value.bits >> 24)};
  if (auto sent = transport.send(classic_frame(kManagementId, data)); !sent) {
    return transport_failure(std::move(sent.error()));
  }
  return {};
}

std::expected<void, Error> Damiao::ensure_control_mode(CanTransport& transport,
                                                       std::uint8_t mode,
                                                       Clock& clock) const {
  auto read_mode = [&]() -> std::expected<std::uint32_t, Error> {
    auto value = read_register(transport, kCtrlModeRegister);
    if (!value) return std::unexpected(std::move(value.error()));
    if (value->kind != RegisterKind::Uint32) {
      return std::unexpected(
          Error(Error::TypeMismatch{kCtrlModeRegister, RegisterKind::Uint32, value->kind}));
    }
    return value->as_uint32();
  };

  auto current = read_mode();
  if (!current) return std::unexpected(std::move(current.error()));
  if (*current == mode) return {};

  if (auto written = write_register(transport, kCtrlModeRegister, RegisterValue::from_uint32(mode));
      !written) {
    return written;
  }
  clock.sleep_for(kControlModeSettle);

  auto after = read_mode();
  if (!after) return std::unexpected(std::move(after.error()));
  if (*after != mode) {
    return std::unexpected(
        Error(Error::ControlModeMismatch{mode, static_cast<std::uint8_t>(*after & 0xFF)}));
  }
  return {};
}

}  // namespace quillet::can_bus::damiao
