// The known-answer vector files of tests/crypto/data (format in its
// README.txt): records of named values, each naming its published source.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace zor::test {

struct VectorRecord {
  std::string file;
  int line = 0;  // where the record starts
  std::map<std::string, std::string> values;

  bool has(const std::string &name) const { return values.count(name) != 0; }
  // The value as written; a missing name fails the test and gives "".
  const std::string &text(const std::string &name) const;
  // The value as hex bytes (spaces allowed).
  std::vector<uint8_t> bytes(const std::string &name) const;
  // A hex value of at most 16 digits as a number, most significant digit first.
  uint64_t number(const std::string &name) const;
  // "file:line (source)", for the failure messages.
  std::string where() const;
};

// Every record of tests/crypto/data/<name>; a file that cannot be read, a
// malformed line or a record without "source" fails the test.
std::vector<VectorRecord> read_vectors(const std::string &name);

}  // namespace zor::test
