#include "Service/common/core/status_file.h"

#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "cross/utils/execution_dir.h"
#include "cross/utils/file_replace.h"
#include "cross/utils/log.h"
#include "cross/utils/sleep.h"

const char kStatusJsonReset[] =
    "{\"gateway\":\"\",\"session\":\"\",\"status\":\"unknown\",\"dname\":\"\",\"tungroup\":\"\","
    "\"radiuslogin\":\"\",\"nicmac\":\"\",\"CN\":\"\",\"OU\":\"\",\"DC\":\"\",\"country\":\"\"}";
static_assert(sizeof kStatusJsonReset - 1 == 137);

namespace {

#define logLine(function, text) GetLog().WriteToLogFL(__FILE__, __LINE__, function, std::string(text).c_str())

std::mutex g_statusJsonMutex;
std::string g_connectedStatusJson;
uint64_t g_statusJsonGeneration = 0;
bool g_statusJsonWritePending = false;

// Never destroyed: in a process that ends without stopping the nudge (the
// daemon ends with _exit) its thread may still wait on them.
std::mutex& g_nudgeMutex = *new std::mutex();
std::condition_variable& g_nudgeChanged = *new std::condition_variable();
std::thread& g_nudgeThread = *new std::thread();
bool g_nudgeStop = false;
bool g_nudgeArmed = false;
uint64_t g_nudgeGeneration = 0;
AccessLevelQuery g_accessQuery = nullptr;
unsigned g_nudgeDelaysMs[3] = {10000, 20000, 40000};

// The access level at which the filter waits for the compliance agent.
const uint8_t kAccessWaitsForCompliance = 2;

std::string statusPath() { return std::string(installDir) + "/status.json"; }

// New files get the mode a new file of the daemon gets (0666 under umask 0).
bool defaultMode(int fd, const std::string&) {
  mode_t mask = umask(0);
  umask(mask);
  return fchmod(fd, 0666 & ~mask) == 0;
}

std::string member(const char* name, const std::string& value, bool last = false) {
  return std::string("\"") + name + "\":\"" + JsonEscape(value) + (last ? "\"" : "\",");
}

template <size_t N>
std::string field(const char (&text)[N]) {
  return FieldToString(reinterpret_cast<const uint8_t*>(text), N);
}

// One rewrite of the nudge: true when it was due (access waits for the
// agent and the cycle's status is still the cached one).
bool nudgeOnce(uint64_t generation, int attempt) {
  uint8_t level = 0;
  int flag = 0;
  if (g_accessQuery == nullptr || g_accessQuery(&level, &flag) != 0 || flag == 0 ||
      level != kAccessWaitsForCompliance) {
    return false;
  }
  std::lock_guard<std::mutex> lock(g_statusJsonMutex);
  if (generation != g_statusJsonGeneration || g_connectedStatusJson.empty()) return false;
  logLine("NudgeComplianceAgent",
          "COMPLIANCE: status.json nudge " + std::to_string(attempt) + ", access level waits for compliance");
  // The content changes at every rewrite, so the agent sees a new file.
  std::string text = g_connectedStatusJson + (attempt % 2 == 1 ? "\n" : "");
  if (!WriteFileAtomic(text)) logLine("NudgeComplianceAgent", "ERROR! Can't save STATUS.JSON!");
  return true;
}

void ComplianceNudgeWorker() {
  std::unique_lock<std::mutex> lock(g_nudgeMutex);
  for (;;) {
    g_nudgeChanged.wait(lock, [] { return g_nudgeStop || g_nudgeArmed; });
    if (g_nudgeStop) return;
    uint64_t generation = g_nudgeGeneration;
    g_nudgeArmed = false;
    for (int attempt = 1; attempt <= 3; attempt++) {
      auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_nudgeDelaysMs[attempt - 1]);
      g_nudgeChanged.wait_until(lock, due, [] { return g_nudgeStop || g_nudgeArmed; });
      if (g_nudgeStop) return;
      if (g_nudgeArmed) break;  // a newer arming: its cycle starts at once
      lock.unlock();
      bool rewritten = nudgeOnce(generation, attempt);
      lock.lock();
      if (!rewritten) break;
    }
  }
}

}  // namespace

std::string JsonEscape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          char code[8];
          snprintf(code, sizeof code, "\\u%04x", c);
          out += code;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

std::string FieldToString(const uint8_t* bytes, size_t n) {
  const void* nul = memchr(bytes, 0, n);
  size_t len = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - bytes) : n;
  return std::string(reinterpret_cast<const char*>(bytes), len);
}

std::string BuildConnectedJson(const veskcfgothertype& cfg, const std::string& country, const std::string& radiusLogin,
                               const std::string& subjectFields) {
  uint32_t gw = cfg.gateway_addr;
  char gateway[16], mac[18];
  snprintf(gateway, sizeof gateway, "%u.%u.%u.%u", gw >> 24, (gw >> 16) & 0xFF, (gw >> 8) & 0xFF, gw & 0xFF);
  const uint8_t* m = cfg.adapter_mac;
  snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
  // Built by appending: gcc's -O3 warns about a prefix put in front.
  std::string json = "{";
  json += member("gateway", gateway);
  json += member("session", std::to_string(cfg.session_id));
  json += member("status", "connected");
  json += member("dname", field(cfg.domain_name));
  json += member("tungroup", field(cfg.tunnel_group));
  json += member("radiuslogin", radiusLogin);
  json += member("nicmac", mac);
  // The subject fields come formatted already ("CN":..,"OU":..,"DC":..).
  json += subjectFields.empty() ? std::string("\"CN\":\"\",\"OU\":\"\",\"DC\":\"\",") : subjectFields + ",";
  json += member("country", country, true);
  json += "}";
  return json;
}

bool WriteFileAtomic(const std::string& content) {
  for (unsigned attempt = 1;; attempt++) {
    if (ReplaceFileAtomically(statusPath(), content, defaultMode)) return true;
    if (attempt == 5) return false;
    Sleep(attempt * 50);
  }
}

void CacheConnectedStatusJson(const std::string& gatewayText, const veskcfgothertype& cfg, const std::string& country,
                              const std::string& radiusLogin, const std::string& subjectFields) {
  std::string text;
  if (!gatewayText.empty()) {
    logLine("CacheConnectedStatusJson", "COMPLIANCE: Got status.json from VESK");
    text = gatewayText;
  } else {
    text = BuildConnectedJson(cfg, country, radiusLogin, subjectFields);
  }
  bool arm = false;
  {
    std::lock_guard<std::mutex> lock(g_statusJsonMutex);
    g_connectedStatusJson = text;
    g_statusJsonGeneration++;
    if (!g_statusJsonWritePending) return;
    g_statusJsonWritePending = false;
    arm = WriteFileAtomic(g_connectedStatusJson);
    if (!arm) logLine("CacheConnectedStatusJson", "ERROR! Can't save STATUS.JSON!");
  }
  if (arm) ArmComplianceNudge();
}

bool WriteStatusJson() {
  logLine("WriteStatusJson", "COMPLIANCE: WriteStatusJson start");
  std::lock_guard<std::mutex> lock(g_statusJsonMutex);
  if (g_connectedStatusJson.empty()) {
    g_statusJsonWritePending = true;
    logLine("WriteStatusJson", "COMPLIANCE: connection status not cached yet, waiting for VESK data");
    return true;
  }
  logLine("WriteStatusJson", "COMPLIANCE: writing json:");
  logLine("WriteStatusJson", g_connectedStatusJson);
  return WriteFileAtomic(g_connectedStatusJson);
}

// The caller holds g_statusJsonMutex.
static bool resetLocked() {
  g_connectedStatusJson.clear();
  g_statusJsonWritePending = false;
  return WriteFileAtomic(kStatusJsonReset);
}

bool ResetConnectionStatus() {
  std::lock_guard<std::mutex> lock(g_statusJsonMutex);
  return resetLocked();
}

bool ResetConnectionStatusIfStale(uint64_t generation) {
  std::lock_guard<std::mutex> lock(g_statusJsonMutex);
  if (generation != g_statusJsonGeneration || g_connectedStatusJson.empty()) return true;
  return resetLocked();
}

uint64_t StatusJsonGeneration() {
  std::lock_guard<std::mutex> lock(g_statusJsonMutex);
  return g_statusJsonGeneration;
}

void ArmComplianceNudge() {
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(g_statusJsonMutex);
    if (g_connectedStatusJson.empty()) return;
    generation = g_statusJsonGeneration;
  }
  std::lock_guard<std::mutex> lock(g_nudgeMutex);
  if (g_nudgeStop) return;
  if (!g_nudgeThread.joinable()) g_nudgeThread = std::thread(ComplianceNudgeWorker);
  g_nudgeGeneration = generation;
  g_nudgeArmed = true;
  g_nudgeChanged.notify_all();
}

void StopComplianceNudge() {
  {
    std::lock_guard<std::mutex> lock(g_nudgeMutex);
    g_nudgeStop = true;
  }
  g_nudgeChanged.notify_all();
  if (g_nudgeThread.joinable()) g_nudgeThread.join();
}

void SetComplianceNudge(AccessLevelQuery query, const unsigned (&delaysMs)[3]) {
  std::lock_guard<std::mutex> lock(g_nudgeMutex);
  g_accessQuery = query;
  memcpy(g_nudgeDelaysMs, delaysMs, sizeof g_nudgeDelaysMs);
}
