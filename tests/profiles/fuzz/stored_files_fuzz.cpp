// libFuzzer target: the files the daemon reads back: the first- and
// second-version profile files and the registry file of settings. Input: a
// selector byte (% 3: first version, second version, registry), then the
// file's bytes. Throwing is how the first version's text path refuses.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "cross/common/profile_file_v1.h"
#include "cross/common/profile_file_v2.h"
#include "cross/common/profile_list.h"
#include "cross/utils/registry.h"
#include "tests/common/fuzz_support.h"

namespace {

using zor::fuzz::Bytes;

std::string dir;   // a private directory for the files

void WriteFile(const std::string &path, const Bytes &b) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) abort();
  if (!b.empty() && fwrite(b.data(), 1, b.size(), f) != b.size()) abort();
  fclose(f);
}

Bytes FileBytes(const char *path) {
  Bytes b;
  FILE *f = fopen(path, "rb");
  if (!f) return b;
  int c;
  while ((c = fgetc(f)) != EOF) b.push_back(static_cast<uint8_t>(c));
  fclose(f);
  return b;
}

void ReadFirstVersion(Bytes text) {
  text.push_back(0);
  try {
    PC_List_ReadCfg(reinterpret_cast<char *>(text.data()), static_cast<int>(text.size() - 1));
  } catch (const std::exception &) {
  }
  PC_List_DeleteAllConfigs();
}

void ReadSecondVersion(const Bytes &text) {
  std::string path = dir + "/cfg.ini";
  WriteFile(path, text);
  ProfileConfig config;
  JSON_Read(path, &config);
  unlink(path.c_str());
}

void ReadRegistry(const Bytes &text) {
  WriteFile(dir + "/registry", text);
  char s[256];
  long l;
  int i;
  uint64_t u;
  Registry_RegGetValueString(dir.c_str(), "Language", s, sizeof s);
  Registry_RegGetValueString(dir.c_str(), "Tiny", s, 2);
  Registry_RegGetValueLongInt(dir.c_str(), "LogFileMaxSize", &l);
  Registry_RegGetValueInt(dir.c_str(), "WriteLog", &i);
  Registry_RegGetValueUnsignedLongLong(dir.c_str(), "Flags", &u);
}

Bytes Seed(uint8_t selector, Bytes file) {
  file.insert(file.begin(), selector);
  return file;
}

zor::fuzz::Seeds MakeSeeds() {
  std::string data = std::string(ZOR_PROFILE_DATA);
  std::string registry =
      "WriteLog\t \"0x1\"\nLogFileMaxSize\t \"0x400000\"\nLanguage\t \"en%x\"\n"
      "Flags\t \"0xFFFFFFFFFFFFFFFF\"\n";
  return {
      {"profile-v1", Seed(0, FileBytes((data + "/cfg_v1.ini").c_str()))},
      {"profile-v2", Seed(1, FileBytes((data + "/cfg_v2.ini").c_str()))},
      {"registry", Seed(2, Bytes(registry.begin(), registry.end()))},
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  char tmp[] = "/tmp/stored-files-fuzz-XXXXXX";
  if (!mkdtemp(tmp)) abort();
  dir = tmp;
  PC_List_Init();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  uint8_t selector = in.Byte() % 3;
  Bytes file = in.Rest();
  if (selector == 0) ReadFirstVersion(file);
  else if (selector == 1) ReadSecondVersion(file);
  else ReadRegistry(file);
  return 0;
}
