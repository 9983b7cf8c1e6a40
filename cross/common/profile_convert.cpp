#include "cross/common/profile_convert.h"

#include <mutex>
#include <utility>
#include <vector>

#include "cross/common/profile_list.h"
#include "cross/common/profile_set.h"
#include "cross/common/profile_text.h"
#include "cross/utils/base64.h"

namespace {

VESKAddress addressOf(const VESK_ADDR_t& slot) {
  VESKAddress a;
  a.type = static_cast<int32_t>(slot.type);
  if (slot.type == VESK_ADDR_IPV4) {
    a.fa_ipaddr = slot.fa_ipaddr;
  } else if (slot.type == VESK_ADDR_URL) {
    a.fa_url = FieldText(slot.fa_url);
    a.fa_ipaddr = resolveDNS_UL(a.fa_url);
  }
  return a;
}

// The index that the selected slot gets once the empty slots before it are
// dropped; -1 when the selection names no filled slot.
int32_t selectedAddress(const PROFILE_CONFIG_t& r) {
  if (r.usingVeskAddr >= PROFILE_VESK_ADDRS || r.veskAddrs[r.usingVeskAddr].type == VESK_ADDR_EMPTY) {
    return -1;
  }
  int32_t index = 0;
  for (uint32_t i = 0; i < r.usingVeskAddr; i++) {
    if (r.veskAddrs[i].type != VESK_ADDR_EMPTY) index++;
  }
  return index;
}

CertificateInfo certificateOf(const PROFILE_CONFIG_t& r) {
  CertificateInfo c;
  if (r.type != PROFILE_TYPE_CERTIFICATE) return c;
  c.binUniqId.assign(std::begin(r.uniqId), std::end(r.uniqId));
  c.strUniqId = b64encode(r.uniqId, PROFILE_UNIQID_LEN);
  c.strCertCN = FieldText(r.certCN);
  c.strAlias = FieldText(r.alias);
  c.strUpn = FieldText(r.upn);
  c.strCertSubjInfo = FieldText(r.certSubjInfo);
  return c;
}

Profile profileOf(const PROFILE_CONFIG_t& r) {
  Profile p;
  p.id = r.id;
  p.version = 1;
  p.humanReadName = FieldText(r.humanReadName);
  p.status = static_cast<int32_t>(r.status);
  for (const VESK_ADDR_t& slot : r.veskAddrs) {
    if (slot.type != VESK_ADDR_EMPTY) p.veskAddrs.push_back(addressOf(slot));
  }
  p.usingVeskAddr = selectedAddress(r);
  p.type = static_cast<int32_t>(r.type);
  p.type_ext = 1;
  p.certificate = certificateOf(r);
  p.cryptoAlg = static_cast<int32_t>(r.cryptoAlg);
  for (const auto& name : r.userNames) {
    if (name[0] != '\0') p.userNames.push_back(FieldText(name));
  }
  if (r.tunnelGroup[0] != '\0') p.tunnelGroups.push_back(FieldText(r.tunnelGroup));
  p.usingTunnelGroup = p.tunnelGroups.empty() ? -1 : 0;
  return p;
}

}  // namespace

void ConvertConfig_v1_To_v2() {
  std::lock_guard<std::mutex> lock(g_mx_ProfileLocker);
  std::vector<Profile> profiles;
  profiles.reserve(PROFILE_CFG_LIST.count);
  for (const PROFILE_CONFIG_t* r = PROFILE_CFG_LIST.head; r != nullptr; r = r->next) {
    profiles.push_back(profileOf(*r));
  }
  g_ProfileConfigPtr->profiles = std::move(profiles);
  g_ProfileConfigPtr->in_use = PROFILE_CFG_LIST.in_use;
}
