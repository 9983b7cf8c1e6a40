#include "cross/common/profile_file_v2.h"

#include <cstdio>

#include "cross/common/profile_file_io.h"
#include "cross/utils/base64.h"
#include "cross/utils/execution_dir.h"
#include "cross/utils/log.h"

namespace {

const char kLogSource[] = "cross/common/profile";

void readAddresses(const json::object_t& o, std::vector<VESKAddress>& addrs) {
  const json* m = JsonMember(o, "veskAddrs");
  if (m == nullptr) return;
  std::vector<VESKAddress> read;
  read.reserve(4);
  for (const json& e : JsonArray(*m)) read.push_back(e.get<VESKAddress>());
  addrs = std::move(read);
}

// Without a stored choice the first tunnel group is selected, if any; a
// choice outside the list selects none.
void adjustTunnelGroup(const json::object_t& o, Profile& p) {
  if (JsonMember(o, "usingTunnelGroup") == nullptr) p.usingTunnelGroup = p.tunnelGroups.empty() ? -1 : 0;
  bool pastEnd = p.usingTunnelGroup >= 0 && static_cast<size_t>(p.usingTunnelGroup) >= p.tunnelGroups.size();
  if (p.usingTunnelGroup < -1 || pastEnd) p.usingTunnelGroup = -1;
}

// Keeps the unreadable file as path + ".bad" (replacing an older one).
std::string moveAside(const std::string& path, int result) {
  std::string bad = path + ".bad";
  std::remove(bad.c_str());
  std::string message = "Config is unreadable (error " + std::to_string(result);
  if (std::rename(path.c_str(), bad.c_str()) == 0) return message + "), moved to " + bad;
  return message + "), unable to move it aside";
}

void restoreBinaryIds(ProfileConfig& set) {
  for (Profile& p : set.profiles) {
    if (p.type == Profile::CERTIFICATE && !p.certificate.strUniqId.empty()) {
      p.certificate.binUniqId = b64decode(p.certificate.strUniqId);
    }
  }
}

}  // namespace

void to_json(json& j, const ProfileConfig& c) {
  j = json{{"version", c.version},
           {"size", c.size},
           {"in_use", c.in_use},
           {"autoconnect_profile", c.autoconnect_profile},
           {"profiles", c.profiles}};
}

void to_json(json& j, const Profile& p) {
  j = json{{"id", p.id},
           {"version", p.version},
           {"humanReadName", p.humanReadName},
           {"status", p.status},
           {"veskAddrs", p.veskAddrs},
           {"usingVeskAddr", p.usingVeskAddr},
           {"type", p.type},
           {"type_ext", p.type_ext},
           {"certificate", json{{"strUniqId", p.certificate.strUniqId}}},
           {"cryptoAlg", p.cryptoAlg},
           {"userNames", p.userNames},
           {"tunnelGroups", p.tunnelGroups},
           {"usingTunnelGroup", p.usingTunnelGroup}};
}

void to_json(json& j, const VESKAddress& a) {
  j = json{{"type", a.type}, {"fa_ipaddr", a.fa_ipaddr}, {"fa_url", a.fa_url}};
}

void from_json(const json& j, ProfileConfig& c) {
  const json::object_t& o = JsonObject(j);
  ReadNumber(o, "version", c.version);
  ReadNumber(o, "size", c.size);
  ReadNumber(o, "in_use", c.in_use);
  ReadNumber(o, "autoconnect_profile", c.autoconnect_profile);
  if (const json* profiles = JsonMember(o, "profiles")) {
    c.profiles.clear();
    for (const json& e : JsonArray(*profiles)) c.profiles.push_back(e.get<Profile>());
  }
}

void from_json(const json& j, Profile& p) {
  const json::object_t& o = JsonObject(j);
  ReadNumber(o, "id", p.id);
  ReadNumber(o, "version", p.version);
  ReadText(o, "humanReadName", p.humanReadName);
  ReadNumber(o, "status", p.status);
  readAddresses(o, p.veskAddrs);
  ReadNumber(o, "usingVeskAddr", p.usingVeskAddr);
  ReadNumber(o, "type", p.type);
  ReadNumber(o, "type_ext", p.type_ext);
  if (const json* cert = JsonMember(o, "certificate")) {
    ReadText(JsonObject(*cert), "strUniqId", p.certificate.strUniqId);
  }
  ReadNumber(o, "cryptoAlg", p.cryptoAlg);
  ReadTexts(o, "userNames", p.userNames);
  ReadTexts(o, "tunnelGroups", p.tunnelGroups);
  ReadNumber(o, "usingTunnelGroup", p.usingTunnelGroup);
  adjustTunnelGroup(o, p);
}

void from_json(const json& j, VESKAddress& a) {
  const json::object_t& o = JsonObject(j);
  ReadNumber(o, "type", a.type);
  ReadNumber(o, "fa_ipaddr", a.fa_ipaddr);
  ReadText(o, "fa_url", a.fa_url);
}

int JSON_Write(std::string path, ProfileConfig& config) {
  return WriteJsonFile(path, json(config));
}

int JSON_Read(std::string path, ProfileConfig* config) {
  if (!file_exists(path)) return -1;
  try {
    std::string text;
    if (!ReadFileText(path, &text)) return -1;
    ProfileConfig read = JsonParse(text).get<ProfileConfig>();
    *config = std::move(read);
  } catch (const json::parse_error&) {
    GetLog().WriteToLogFL(kLogSource, 90, "JSON_Read", "JSON parse error");
    return -2;
  } catch (const std::exception&) {
    GetLog().WriteToLogFL(kLogSource, 94, "JSON_Read", "JSON parse general error");
    return -3;
  }
  return 0;
}

int ReadConfig() {
  std::lock_guard<std::mutex> lock(g_mx_ProfileLocker);
  ProfileConfig& set = *g_ProfileConfigPtr;
  std::string path = MakeConfigFPath();
  int r = JSON_Read(path, &set);
  if (r != 0) {
    std::string message = r == -1 ? "Config not found, starting with defaults" : moveAside(path, r);
    set = ProfileConfig();
    message += ". Profiles will be rebuilt from the certificate store";
    GetLog().WriteToLogFL(kLogSource, 147, "ReadConfig", message.c_str());
  }
  restoreBinaryIds(set);
  return 0;
}

std::string MakeConfigFPath() {
  return CfgIniPath(settingsDir);
}

std::string MakeConfigFPathService() {
  return CfgIniPath(installDir);
}
