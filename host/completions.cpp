#include "host/completions.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "kern_host.h"

namespace zornfhost {
namespace {
std::mutex pending_mutex;
std::vector<HostNetbuf *> pending;

std::vector<HostNetbuf *> take_pending() {
  std::lock_guard<std::mutex> lock(pending_mutex);
  std::vector<HostNetbuf *> out;
  out.swap(pending);
  return out;
}
}  // namespace

void queue_completion(HostNetbuf *nb) {
  std::lock_guard<std::mutex> lock(pending_mutex);
  pending.push_back(nb);
}

// Reported in runs of one adapter, many buffers per call.
void report_completions() {
  std::vector<HostNetbuf *> done = take_pending();
  for (size_t first = 0; first < done.size();) {
    size_t n = 1;
    while (first + n < done.size() && done[first + n]->pair == done[first]->pair) n++;
    Zor_net_inputoutput_complete_batch(reinterpret_cast<void **>(done.data() + first),
                                       static_cast<uint32_t>(n), done[first]->pair);
    for (size_t k = 0; k < n; k++) KERN_netbuf_free(done[first + k]);
    first += n;
  }
}

void drop_completions() {
  for (HostNetbuf *nb : take_pending()) KERN_netbuf_free(nb);
}

}  // namespace zornfhost

using zornfhost::HostNetbuf;

extern "C" {

uint32_t KERN_netbuf_len(void *netbuf) { return static_cast<HostNetbuf *>(netbuf)->len; }

int KERN_netbuf_getdata(void *netbuf, void *dst, uint32_t len) {
  auto *nb = static_cast<HostNetbuf *>(netbuf);
  if (!dst || len > nb->len) return 1;
  std::memcpy(dst, nb->data, len);
  return 0;
}

void *KERN_netbuf_alloc(void *netdev, const void *data, uint32_t len, int) {
  if (!data && len) return nullptr;
  auto *nb = static_cast<HostNetbuf *>(std::malloc(sizeof(HostNetbuf) + len));
  if (!nb) return nullptr;
  std::memset(nb, 0, sizeof *nb);
  nb->pair = static_cast<zornfhost::AdapterPair *>(netdev);
  nb->data = nb->frame;
  nb->len = len;
  nb->owned = true;
  if (len) std::memcpy(nb->frame, data, len);
  return nb;
}

void *KERN_netbuf_wrap(void *netdev, const void *data, uint32_t len, int) {
  if (!data && len) return nullptr;
  auto *nb = static_cast<HostNetbuf *>(std::malloc(sizeof(HostNetbuf)));
  if (!nb) return nullptr;
  std::memset(nb, 0, sizeof *nb);
  nb->pair = static_cast<zornfhost::AdapterPair *>(netdev);
  nb->data = static_cast<uint8_t *>(const_cast<void *>(data));
  nb->len = len;
  nb->owned = true;
  return nb;
}

void KERN_netbuf_free(void *netbuf) {
  auto *nb = static_cast<HostNetbuf *>(netbuf);
  if (nb && nb->owned) std::free(nb);
}

}  // extern "C"
