// The data side of a gateway session: the client's datagrams on the UDP
// socket one way, the packets of the tunnel device the other, a pipeline
// per direction (pipeline/ordered_pipeline.h):
//  - From the client: the socket's reader (FromClient) takes a batch of
//    datagrams and, in their order under the receive side's lock, picks the
//    packet key of each data datagram and handles the other datagrams itself
//    (key changes, acknowledgements, out-of-band). The workers open the data
//    datagrams and plan the device's writes of the inner packets, runs of
//    one flow coalesced (offload/coalesce.h); the packets go to the device
//    in the order the datagrams came.
//  - To the client: the device's reader (FromTun) takes a batch of frames
//    (fragments joined into their packets first, inner_fragments.h) and, under the send side's lock, gives each packet they are cut into its
//    counter and packet key. The workers cut and protect them; the datagrams
//    go to the socket in counter order, and what the session sends of its
//    own (replies, key changes, out-of-band, status) goes in its place among
//    them.
// With fewer than two workers everything runs on the readers' threads, with
// the same bytes.
// The crypto library hands the MAC of a single datagram back through one
// global cell (control and out-of-band datagrams, GuardSealData and
// GuardOpenData in MAC mode): those calls run only under the send side's
// lock, and the handshake's on the socket's reader, the thread that takes
// that lock for them, so no two share the cell at once. The batch calls the
// workers make touch no state of the library and need no lock.
#pragma once
#include <netinet/in.h>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/filter/tunnel_crypto.h"
#include "offload/coalesce.h"
#include "tools/gwsim/inner_fragments.h"
#include "tools/gwsim/tcp_segments.h"
#include "tools/gwsim/tunnel_peer.h"
#include "tools/gwsim/udp_batches.h"
#include "pipeline/ordered_pipeline.h"

namespace gwsim {

struct DataConfig {
  int udp = -1;          // the bound socket
  int tun = -1;          // the tunnel device (tun_device.h); -1: none
  unsigned workers = 0;  // per direction
};

class DataSide {
 public:
  // Takes a datagram that belongs to no session: a handshake's, or any
  // before the keys are made.
  using Handshake = std::function<void(const uint8_t *d, size_t n, const sockaddr_in &from)>;

  explicit DataSide(const DataConfig &config);

  // Takes the datagrams the socket holds, in their order.
  void FromClient(const Handshake &handshake);
  // Takes the frames the tunnel device holds.
  void FromTun();
  // Ends the session once what was taken is finished (before a handshake
  // is answered).
  void EndSession();
  void StartSession(const TunnelSession &s, const sockaddr_in &client);
  // A command of the control FIFO (gwsim_main.cpp lists them).
  void Command(const std::string &line);
  bool silent() const { return silent_; }
  // Waits until both directions have finished what they took.
  void Drain();

 private:
  using Key = std::array<uint8_t, 32>;
  // Packet keys of a batch: each datagram's job points at one of them.
  struct Keys {
    std::vector<Key> keys;
    std::vector<uint32_t> of;  // per job
    void Add(const uint8_t *key);
    void Point(std::vector<GuardDataJob> &jobs) const;
    void Clear();
  };
  // Bytes that grow without being cleared first.
  struct Arena {
    std::unique_ptr<uint8_t[]> p;
    size_t size = 0, used = 0;
    size_t Take(size_t n);   // the offset of n new bytes
  };
  // A batch of the client's datagrams.
  struct UpSlot {
    ReceiveBatch rx;
    std::vector<GuardDataJob> jobs;
    Keys keys;
    uint8_t nonce[8];
    uint32_t mgm = 0, client_addr = 0;
    std::vector<zor::offload::FrameBytes> packets;  // the opened ones
    std::vector<zor::offload::DeviceWrite> writes;
  };
  // A batch of datagrams for the client: cut from frames of the device
  // (data) or the session's own, ready as they are.
  struct DownSlot {
    std::unique_ptr<uint8_t[]> in;  // frames read from the device
    std::vector<TunFrame> frames;
    struct Cut {
      uint32_t frame, index;
    };
    std::vector<Cut> cuts;   // per job: the packet it carries
    std::vector<GuardDataJob> jobs;
    Keys keys;
    Arena out;               // the datagrams
    std::vector<uint32_t> off, len;
    std::vector<bool> df;
    bool data = false;
    uint8_t nonce[8];
    uint32_t mgm = 0;
    sockaddr_in client{};
    std::vector<iovec> iov;
    void Clear();
  };

  void UpWork(size_t s);
  void UpFinish(size_t s);
  void DownWork(size_t s);
  void DownFinish(size_t s);
  // With the receive side's lock.
  bool NeedsHandshake(const ReceiveBatch &rx) const;
  // Picks the keys of the batch's data datagrams, takes the others and hands
  // the data over (caught_up: as OrderedPipeline::Submit takes it).
  void HandUp(UpSlot &slot, bool caught_up);
  void AddDatagram(UpSlot &slot, uint8_t *d, uint32_t n);
  void TakeOne(const uint8_t *d, size_t n);
  // The datagrams of a receive that holds a handshake's, one at a time.
  void TakeOneByOne(const ReceiveBatch &rx, const Handshake &handshake);
  // With the send side's lock.
  void AddFrame(DownSlot &slot, const TunFrame &f);
  // caught_up: as OrderedPipeline::Submit takes it.
  void HandDown(DownSlot &slot, bool caught_up);
  void QueueToClient(const std::vector<Bytes> &datagrams);

  const DataConfig config_;
  // The receive side (peer's keys of the client's direction) and the send
  // side (its counters and keys, the downlink's hand-over); a datagram that
  // is not data, a command or a new session takes both, receive side first.
  std::mutex recv_mu_, send_mu_;
  std::unique_ptr<TunnelPeer> peer_;
  sockaddr_in client_{};
  size_t messages_ = ReceiveBatch::kMessages;
  std::atomic<bool> silent_{false};
  std::atomic<int> corrupt_{0};
  // UDP runs in the device's writes, until the device refuses one.
  std::atomic<bool> udp_runs_{true};
  // Fragments read from the device, with the send side's lock.
  InnerFragments fragments_;
  std::vector<UpSlot> up_slots_;
  std::vector<DownSlot> down_slots_;
  // Last: they finish what they hold before the slots go.
  std::unique_ptr<zor::pipeline::OrderedPipeline> up_, down_;
};

}  // namespace gwsim
