#include "tests/crypto/vectors/vector_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "tests/crypto/test_bytes.h"

namespace zor::test {

const std::string &VectorRecord::text(const std::string &name) const {
  static const std::string none;
  const auto it = values.find(name);
  if (it != values.end()) return it->second;
  ADD_FAILURE() << where() << ": no value \"" << name << "\"";
  return none;
}

std::vector<uint8_t> VectorRecord::bytes(const std::string &name) const {
  const std::string &s = text(name);
  for (char c : s)
    if (c != ' ' && !std::isxdigit(static_cast<unsigned char>(c))) {
      ADD_FAILURE() << where() << ": \"" << name << "\" is not hex";
      return {};
    }
  if (hex(s).size() * 2 != s.size() - std::count(s.begin(), s.end(), ' '))
    ADD_FAILURE() << where() << ": \"" << name << "\" has an odd number of digits";
  return hex(s);
}

uint64_t VectorRecord::number(const std::string &name) const {
  const std::vector<uint8_t> b = bytes(name);
  if (b.size() > 8) ADD_FAILURE() << where() << ": \"" << name << "\" is wider than 64 bits";
  uint64_t v = 0;
  for (uint8_t x : b) v = v << 8 | x;
  return v;
}

std::string VectorRecord::where() const {
  const auto it = values.find("source");
  return file + ":" + std::to_string(line) + " (" + (it == values.end() ? "no source" : it->second) + ")";
}

std::vector<VectorRecord> read_vectors(const std::string &name) {
  const std::string path = std::string(ZOR_SOURCE_DIR) + "/tests/crypto/data/" + name;
  std::ifstream in(path);
  std::vector<VectorRecord> records;
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return records;
  }
  VectorRecord current;
  std::string last;  // the name a continuation line belongs to
  auto finish = [&] {
    if (current.values.empty()) return;
    if (!current.has("source")) ADD_FAILURE() << current.where() << ": a record without its source";
    records.push_back(current);
    current = VectorRecord{};
  };
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line[0] == '#') continue;
    if (line.find_first_not_of(' ') == std::string::npos) {
      finish();
      continue;
    }
    if (line[0] == ' ') {
      if (last.empty()) ADD_FAILURE() << name << ":" << number << ": a continuation without a value";
      else current.values[last] += line.substr(line.find_first_not_of(' ') - 1);
      continue;
    }
    const size_t colon = line.find(": ");
    if (colon == std::string::npos || colon == 0) {
      ADD_FAILURE() << name << ":" << number << ": not \"name: value\"";
      continue;
    }
    if (current.values.empty()) {
      current.file = name;
      current.line = number;
    }
    last = line.substr(0, colon);
    if (!current.values.emplace(last, line.substr(colon + 2)).second)
      ADD_FAILURE() << name << ":" << number << ": \"" << last << "\" twice in one record";
  }
  finish();
  if (records.empty()) ADD_FAILURE() << path << " holds no record";
  return records;
}

}  // namespace zor::test
