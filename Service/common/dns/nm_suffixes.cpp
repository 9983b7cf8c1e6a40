#include "Service/common/dns/nm_suffixes.h"

#include <string>
#include <vector>

#include "Service/common/dns/nm_connection_steps.h"
#include "Service/common/dns/nm_session.h"
#include "cross/utils/log.h"

namespace {

void logLine(int line, const char* function, const std::string& text) {
  GetLog().WriteToLogFL(__FILE__, line, function, text.c_str());
}

}  // namespace

// The wait record of one commit.
struct CommitWaitCtx {
  GMainLoop* loop;
  int failed = 0;
  GError* error = nullptr;
};

// The wait record of one reapply.
struct ReapplyWaitCtx {
  GMainLoop* loop;
  int result = -1;
  GError* error = nullptr;
};

void commit_changes_cb(GObject* source, GAsyncResult* result, gpointer data) {
  auto* wait = static_cast<CommitWaitCtx*>(data);
  wait->error = nullptr;
  wait->failed = 0;
  if (!nm_remote_connection_commit_changes_finish(NM_REMOTE_CONNECTION(source), result, &wait->error)) {
    logLine(__LINE__, "commit_changes_cb", std::string("Ошибка сохранения: ") + wait->error->message);
    wait->failed = 1;
  }
  g_main_loop_quit(wait->loop);
}

void reapply_cb(GObject* source, GAsyncResult* result, gpointer data) {
  auto* wait = static_cast<ReapplyWaitCtx*>(data);
  wait->result = nm_device_reapply_finish(NM_DEVICE(source), result, &wait->error) ? 0 : 1;
  g_main_loop_quit(wait->loop);
}

namespace {

// Commits the profile (saved to disk) and waits; the error on failure, to be
// freed by the caller, or null.
GError* commitAndWait(GMainContext* context, NMRemoteConnection* profile) {
  GCancellable* cancellable = g_cancellable_new();
  CommitWaitCtx wait{g_main_loop_new(context, FALSE)};
  nm_remote_connection_commit_changes_async(profile, TRUE, cancellable, commit_changes_cb, &wait);
  runBounded(context, wait.loop, cancellable);
  g_main_loop_unref(wait.loop);
  g_object_unref(cancellable);
  return wait.error;
}

// The profile's connection setting id when it has one.
const char* profileId(NMConnection* profile) {
  NMSettingConnection* setting = profile != nullptr ? nm_connection_get_setting_connection(profile) : nullptr;
  return setting != nullptr ? nm_setting_connection_get_id(setting) : nullptr;
}

bool activeHasId(NMActiveConnection* active, const std::string& id) {
  NMRemoteConnection* profile = nm_active_connection_get_connection(active);
  const char* own = profileId(profile != nullptr ? NM_CONNECTION(profile) : nullptr);
  return own != nullptr && id == own;
}

void putSuffixes(NMSettingIPConfig* setting, const SuffixList& suffixes) {
  nm_setting_ip_config_clear_dns_searches(setting);
  for (const std::string& suffix : suffixes)
    if (!suffix.empty()) nm_setting_ip_config_add_dns_search(setting, suffix.c_str());
}

void reapplyOrLog(NMClient* client, const std::string& id, const char* function) {
  if (restart_connection_libnm_reapply(client, id) != 0)
    logLine(__LINE__, function, "Критическая ошибка при перезапуске '" + id + "'");
}

// The profile of an active connection whose search list is to be changed
// (its id in id), or null.
NMRemoteConnection* eligibleProfile(NMActiveConnection* active, std::string& id) {
  NMRemoteConnection* remote = nm_active_connection_get_connection(active);
  if (remote == nullptr) return nullptr;
  NMSettingConnection* setting = nm_connection_get_setting_connection(NM_CONNECTION(remote));
  if (setting == nullptr) return nullptr;
  const char* rawId = nm_setting_connection_get_id(setting);
  id = rawId != nullptr ? rawId : "";
  return should_process_connection(setting, id.c_str()) ? remote : nullptr;
}

// The active connections now, each with a reference of its own, so that the
// set handled stays fixed whatever NetworkManager does meanwhile.
std::vector<NMActiveConnection*> activeSnapshot(NMClient* client) {
  std::vector<NMActiveConnection*> snapshot;
  const GPtrArray* actives = nm_client_get_active_connections(client);
  for (guint i = 0; actives != nullptr && i < actives->len; i++)
    snapshot.push_back(static_cast<NMActiveConnection*>(g_object_ref(g_ptr_array_index(actives, i))));
  return snapshot;
}

void set_suffix_for_connection(const NmSession& session, NMActiveConnection* active, const SuffixList& suffixes,
                               PreviousSuffixMap& previous) {
  const char* fn = "set_suffix_for_connection";
  std::string id;
  NMRemoteConnection* remote = eligibleProfile(active, id);
  if (remote == nullptr) return;
  g_object_ref(remote);
  NMConnection* profile = NM_CONNECTION(remote);
  logLine(__LINE__, fn, "Обрабатываем подключение: " + id);
  NMSettingIPConfig* ip4 = NM_SETTING_IP_CONFIG(nm_connection_get_setting_ip4_config(profile));
  if (ip4 == nullptr) {
    ip4 = NM_SETTING_IP_CONFIG(nm_setting_ip4_config_new());
    nm_connection_add_setting(profile, NM_SETTING(ip4));
    logLine(__LINE__, fn, "SetSuffixForAllActive: Созданы новые настройки IPv4");
  }
  previous[id] = get_current_suffixes(ip4);
  putSuffixes(ip4, suffixes);
  if (GError* error = commitAndWait(session.mainContext(), remote)) {
    logLine(__LINE__, fn, std::string("Ошибка при сохранении: ") + error->message);
    g_error_free(error);
  } else {
    logLine(__LINE__, fn, "SetSuffixForAllActive: Настройки успешно обновлены");
    reapplyOrLog(session.get(), id, fn);
  }
  g_object_unref(remote);
}

}  // namespace

bool should_process_connection(NMSettingConnection* setting, const char* name) {
  static const std::vector<std::string> EXCLUDED_TYPES = {"loopback", "bridge", "vpn",     "bond",     "team",
                                                          "vlan",     "tun",    "macvlan", "wireguard"};
  if (setting == nullptr) return false;
  const char* type = nm_setting_connection_get_connection_type(setting);
  if (type == nullptr) return false;
  if (name != nullptr) {
    std::string n = name;
    if (n == "lo") return false;
    for (const char* prefix : {"veth", "virbr", "docker", "br-"})
      if (n.rfind(prefix, 0) == 0) return false;
  }
  for (const std::string& excluded : EXCLUDED_TYPES)
    if (excluded == type) return false;
  return true;
}

SuffixList get_current_suffixes(NMSettingIPConfig* setting) {
  SuffixList list;
  if (setting == nullptr) return list;
  guint count = nm_setting_ip_config_get_num_dns_searches(setting);
  for (guint i = 0; i < count; i++)
    if (const char* entry = nm_setting_ip_config_get_dns_search(setting, static_cast<int>(i))) list.push_back(entry);
  return list;
}

NMActiveConnectionState get_active_connection_state(NMClient* client, const std::string& id) {
  if (client == nullptr) return NM_ACTIVE_CONNECTION_STATE_UNKNOWN;
  const GPtrArray* actives = nm_client_get_active_connections(client);
  for (guint i = 0; actives != nullptr && i < actives->len; i++) {
    auto* active = static_cast<NMActiveConnection*>(g_ptr_array_index(actives, i));
    if (activeHasId(active, id)) return nm_active_connection_get_state(active);
  }
  return NM_ACTIVE_CONNECTION_STATE_UNKNOWN;
}

std::string get_device_interface_for_connection(NMClient* client, const std::string& id) {
  if (client == nullptr) return "";
  const GPtrArray* actives = nm_client_get_active_connections(client);
  for (guint i = 0; actives != nullptr && i < actives->len; i++) {
    auto* active = static_cast<NMActiveConnection*>(g_ptr_array_index(actives, i));
    if (!activeHasId(active, id)) continue;
    const GPtrArray* devices = nm_active_connection_get_devices(active);
    if (devices == nullptr || devices->len == 0) continue;
    const char* iface = nm_device_get_iface(static_cast<NMDevice*>(g_ptr_array_index(devices, 0)));
    return iface != nullptr ? iface : "";
  }
  return "";
}

const char* active_connection_state_to_string(NMActiveConnectionState state) {
  switch (state) {
    case NM_ACTIVE_CONNECTION_STATE_UNKNOWN: return "unknown";
    case NM_ACTIVE_CONNECTION_STATE_ACTIVATING: return "activating";
    case NM_ACTIVE_CONNECTION_STATE_ACTIVATED: return "activated";
    case NM_ACTIVE_CONNECTION_STATE_DEACTIVATING: return "deactivating";
    case NM_ACTIVE_CONNECTION_STATE_DEACTIVATED: return "deactivated";
    default: return "invalid-state";
  }
}

int restart_connection_libnm_reapply(NMClient* client, const std::string& id) {
  const char* fn = "restart_connection_libnm_reapply";
  std::string iface = get_device_interface_for_connection(client, id);
  if (iface.empty()) {
    logLine(__LINE__, fn, "Не удалось определить интерфейс для '" + id + "'");
    return 1;
  }
  NMActiveConnectionState state = get_active_connection_state(client, id);
  if (state != NM_ACTIVE_CONNECTION_STATE_ACTIVATING && state != NM_ACTIVE_CONNECTION_STATE_ACTIVATED) {
    logLine(__LINE__, fn, "Подключение '" + id + "' не активно, reapply не требуется");
    return 0;
  }
  NMDevice* device = nm_client_get_device_by_iface(client, iface.c_str());
  if (device == nullptr) {
    logLine(__LINE__, fn, "Не найден объект устройства для интерфейса '" + iface + "'");
    return 1;
  }
  g_object_ref(device);
  GMainContext* context = g_main_context_ref_thread_default();
  GCancellable* cancellable = g_cancellable_new();
  ReapplyWaitCtx wait{g_main_loop_new(context, FALSE)};
  nm_device_reapply_async(device, nullptr, 0, 0, cancellable, reapply_cb, &wait);
  runBounded(context, wait.loop, cancellable);
  g_main_loop_unref(wait.loop);
  g_object_unref(cancellable);
  g_main_context_unref(context);
  g_object_unref(device);
  if (wait.error == nullptr) {
    logLine(__LINE__, fn, "Переподключение для '" + id + "' выполнено успешно");
    return 0;
  }
  logLine(__LINE__, fn, "Ошибка переподключения для '" + id + "': " + wait.error->message);
  g_error_free(wait.error);
  return 1;
}

PreviousSuffixMap SetSuffixForAllActive(const SuffixList& suffixes) {
  const char* fn = "SetSuffixForAllActive";
  PreviousSuffixMap previous;
  NmSession session;
  if (session.get() == nullptr) {
    logLine(__LINE__, fn, std::string("Ошибка создания клиента: ") + session.errorText());
    return previous;
  }
  const GPtrArray* actives = nm_client_get_active_connections(session.get());
  if (actives == nullptr || actives->len == 0) {
    logLine(__LINE__, fn, "SetSuffixForAllActive: Нет активных подключений");
    return previous;
  }
  logLine(__LINE__, fn, "Найдено активных подключений: " + std::to_string(actives->len));
  for (NMActiveConnection* active : activeSnapshot(session.get())) {
    set_suffix_for_connection(session, active, suffixes, previous);
    g_object_unref(active);
  }
  return previous;
}

PreviousSuffixMap GetSuffixesOfAllActive() {
  PreviousSuffixMap current;
  NmSession session;
  if (session.get() == nullptr) {
    logLine(__LINE__, "GetSuffixesOfAllActive", std::string("Ошибка создания клиента: ") + session.errorText());
    return current;
  }
  for (NMActiveConnection* active : activeSnapshot(session.get())) {
    std::string id;
    if (NMRemoteConnection* profile = eligibleProfile(active, id))
      current[id] = get_current_suffixes(NM_SETTING_IP_CONFIG(nm_connection_get_setting_ip4_config(NM_CONNECTION(profile))));
    g_object_unref(active);
  }
  return current;
}

int RestoreOldSuffixes(const PreviousSuffixMap& saved) {
  const char* fn = "RestoreOldSuffixes";
  if (saved.empty()) {
    logLine(__LINE__, fn, "Нечего восстанавливать");
    return 0;
  }
  NmSession session;
  if (session.get() == nullptr) {
    g_printerr("Ошибка создания клиента: %s\n", session.errorText());
    return 1;
  }
  int restored = 0, failed = 0;
  for (const auto& [id, suffixes] : saved) {
    const GPtrArray* profiles = nm_client_get_connections(session.get());
    NMRemoteConnection* remote = nullptr;
    for (guint i = 0; profiles != nullptr && i < profiles->len && remote == nullptr; i++) {
      auto* candidate = static_cast<NMRemoteConnection*>(g_ptr_array_index(profiles, i));
      const char* own = profileId(NM_CONNECTION(candidate));
      if (own != nullptr && id == own) remote = candidate;
    }
    if (remote == nullptr) continue;
    NMSettingIPConfig* ip4 = NM_SETTING_IP_CONFIG(nm_connection_get_setting_ip4_config(NM_CONNECTION(remote)));
    if (ip4 == nullptr) continue;
    putSuffixes(ip4, suffixes);
    if (GError* error = commitAndWait(session.mainContext(), remote)) {
      logLine(__LINE__, fn, "Суффиксы не восстановлены для " + id + ": " + error->message);
      g_error_free(error);
      failed++;
      continue;
    }
    logLine(__LINE__, fn, "Восстановлены суффиксы для " + id);
    restored++;
    reapplyOrLog(session.get(), id, fn);
  }
  logLine(__LINE__, fn, "Всего восстановлено подключений: " + std::to_string(restored));
  return failed != 0 ? 1 : 0;
}
