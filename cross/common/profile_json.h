#pragma once
// JSON reading and writing shared by both versions of the profile file.
//
// Numbers: an integer or unsigned value is narrowed to its field as a C++
// conversion does (higher bits dropped: 300 in an 8-bit field is 44), true
// is 1 and false 0, a floating-point value loses its fraction first. A
// floating-point value whose integer part lies outside the 64-bit range
// (1e300, say) has no such conversion and is refused with the library's
// out-of-range error, like any value that does not fit the model.
#include <nlohmann/json.hpp>
#include <string>
#include <type_traits>

using json = nlohmann::json;

// The object or array behind j, or the library's type error.
const json::object_t& JsonObject(const json& j);
const json::array_t& JsonArray(const json& j);
// The member key of an object, or null when it has none.
const json* JsonMember(const json::object_t& object, const char* key);

// The integer part of a floating-point value modulo 2^64 (see above).
uint64_t JsonFloatBits(const json& j);

template <class T>
T JsonNumber(const json& j) {
  static_assert(std::is_integral_v<T>);
  switch (j.type()) {
    case json::value_t::number_integer:
      return static_cast<T>(j.get<json::number_integer_t>());
    case json::value_t::number_unsigned:
      return static_cast<T>(j.get<json::number_unsigned_t>());
    case json::value_t::boolean:
      return static_cast<T>(j.get<bool>());
    case json::value_t::number_float:
      return static_cast<T>(JsonFloatBits(j));
    default:
      return j.get<T>();  // throws the library's type error
  }
}

// Readers of optional members: a missing member leaves the field as it is.
template <class T>
void ReadNumber(const json::object_t& object, const char* key, T& field) {
  if (const json* m = JsonMember(object, key)) field = JsonNumber<T>(*m);
}
void ReadText(const json::object_t& object, const char* key, std::string& field);
template <class Container>
void ReadTexts(const json::object_t& object, const char* key, Container& field) {
  const json* m = JsonMember(object, key);
  if (m == nullptr) return;
  Container texts;
  for (const json& e : JsonArray(*m)) texts.push_back(e.get_ref<const std::string&>());
  field = std::move(texts);
}

// The text form: indent 2, keys sorted, UTF-8 as it is, no final newline;
// throws the library's type error for a text that is not valid UTF-8.
std::string JsonText(const json& j);
// Strict parse of one JSON value; throws the library's parse error.
json JsonParse(const std::string& text);

// Writes the text form of j over the file at path (atomically): 0, or -1
// when the file cannot be written.
int WriteJsonFile(const std::string& path, const json& j);
