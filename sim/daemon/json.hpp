// A small JSON writer for the control channel's answers (one object per line).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qsim {

class JsonWriter {
 public:
  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  JsonWriter& key(std::string_view name);
  JsonWriter& string(std::string_view text);
  JsonWriter& hex(std::span<const std::uint8_t> bytes);
  JsonWriter& boolean(bool value);
  JsonWriter& integer(std::int64_t value);
  JsonWriter& number(double value);
  JsonWriter& null();

  JsonWriter& field(std::string_view name, bool value) { return key(name).boolean(value); }
  JsonWriter& field(std::string_view name, int value) { return key(name).integer(value); }
  JsonWriter& field(std::string_view name, std::int64_t value) { return key(name).integer(value); }
  JsonWriter& field(std::string_view name, double value) { return key(name).number(value); }
  JsonWriter& field(std::string_view name, std::string_view value) { return key(name).string(value); }
  JsonWriter& field(std::string_view name, const char* value) { return key(name).string(value); }

  const std::string& text() const { return out_; }

 private:
  void separate();
  std::string out_;
  std::vector<bool> first_;  // per open container: no element written yet
  bool after_key_ = false;
};

std::string hex_string(std::span<const std::uint8_t> bytes);

}  // namespace qsim
