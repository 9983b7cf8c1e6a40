#include "cross/common/profile_json.h"

#include <cmath>

#include "cross/common/profile_file_io.h"

const json::object_t& JsonObject(const json& j) {
  return j.get_ref<const json::object_t&>();
}

const json::array_t& JsonArray(const json& j) {
  return j.get_ref<const json::array_t&>();
}

const json* JsonMember(const json::object_t& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() ? &it->second : nullptr;
}

uint64_t JsonFloatBits(const json& j) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  constexpr double kTwoTo64 = 18446744073709551616.0;
  double t = std::trunc(j.get<double>());
  if (!(t >= -kTwoTo63 && t < kTwoTo64)) {
    throw json::out_of_range::create(406, "number out of range: " + j.dump(), &j);
  }
  return t >= 0 ? static_cast<uint64_t>(t) : static_cast<uint64_t>(static_cast<int64_t>(t));
}

void ReadText(const json::object_t& object, const char* key, std::string& field) {
  if (const json* m = JsonMember(object, key)) field = m->get_ref<const std::string&>();
}

std::string JsonText(const json& j) {
  return j.dump(2, ' ', false, json::error_handler_t::strict);
}

json JsonParse(const std::string& text) {
  return json::parse(text);
}

int WriteJsonFile(const std::string& path, const json& j) {
  return WriteFileAtomically(path, JsonText(j)) ? 0 : -1;
}
