#include "tests/engine/engine_fixture.h"

#include <linux/netlink.h>
#include <unistd.h>

#include "Service/common/engine/drv_channel.h"
#include "Service/common/engine/engine_state.h"
#include "Service/common/engine/filter_netlink_seam.h"
#include "tests/service/service_env.h"

namespace enginetest {

NetlinkPeer::Script FramedFilter::script() {
  return [this](const Request& req) -> std::optional<Bytes> {
    auto it = areas.find(req.code);
    if (it == areas.end()) return std::nullopt;
    return ReplyWith(req, it->second);
  };
}

void EngineTest::SetUp() {
  if (ZorVpnNLSK >= 0) close(ZorVpnNLSK);
  ZorVpnNLSK = -1;
  ZorVpnNLSK_fID = -1;
  SendIRP_ReplyTimeoutMs = 300;
  FilterSeam_Force({NETLINK_USERSOCK, peer.port()});
  EngineState_Reset();
  peer.set_script(filter.script());
}

void EngineTest::TearDown() {
  if (ZorVpnNLSK >= 0) close(ZorVpnNLSK);
  ZorVpnNLSK = -1;
}

std::string LogText() { return ServiceLogText(); }

}  // namespace enginetest
