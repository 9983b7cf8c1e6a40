#include "cross/utils/machine_id.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <string>

unsigned char UUID_DATA[32];

namespace {

bool readMachineId(const char* path, unsigned char out[32]) {
  std::ifstream in(path);
  std::string id;
  if (!(in >> id) || id.size() != 32) return false;
  for (char c : id) {
    if (!isxdigit(static_cast<unsigned char>(c))) return false;
  }
  memcpy(out, id.data(), 32);
  return true;
}

}  // namespace

void GetUUID() {
  unsigned char id[32] = {};
  if (!readMachineId("/etc/machine-id", id)) readMachineId("/var/lib/dbus/machine-id", id);
  memcpy(UUID_DATA, id, sizeof UUID_DATA);
}
