#include "Service/common/dns/nm_session.h"

namespace {

void markGone(gpointer flag, GObject*) { *static_cast<bool*>(flag) = true; }

gboolean markExpired(gpointer flag) {
  *static_cast<bool*>(flag) = true;
  return G_SOURCE_REMOVE;
}

gboolean cancelCall(gpointer cancellable) {
  g_cancellable_cancel(static_cast<GCancellable*>(cancellable));
  return G_SOURCE_REMOVE;
}

}  // namespace

NmSession::NmSession() : context(g_main_context_new()) {
  g_main_context_push_thread_default(context);
  client = nm_client_new(nullptr, &error);
  if (client != nullptr && !nm_client_get_nm_running(client)) {
    g_set_error_literal(&error, G_IO_ERROR, G_IO_ERROR_NOT_CONNECTED, "NetworkManager не запущен");
    release();
  }
}

NmSession::~NmSession() {
  release();
  if (error != nullptr) g_error_free(error);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
}

void NmSession::release() {
  if (client == nullptr) return;
  GObject* watcher = nm_client_get_context_busy_watcher(client);
  bool gone = false;
  g_object_weak_ref(watcher, markGone, &gone);
  g_object_unref(client);
  client = nullptr;
  bool expired = false;
  GSource* timer = g_timeout_source_new(kNmReleaseTimeoutMs);
  g_source_set_callback(timer, markExpired, &expired, nullptr);
  g_source_attach(timer, context);
  while (!gone && !expired) g_main_context_iteration(context, TRUE);
  if (!gone) g_object_weak_unref(watcher, markGone, &gone);
  g_source_destroy(timer);
  g_source_unref(timer);
}

void runBounded(GMainContext* context, GMainLoop* loop, GCancellable* cancellable) {
  GSource* timer = g_timeout_source_new(kNmCallTimeoutMs);
  g_source_set_callback(timer, cancelCall, cancellable, nullptr);
  g_source_attach(timer, context);
  g_main_loop_run(loop);
  g_source_destroy(timer);
  g_source_unref(timer);
}
