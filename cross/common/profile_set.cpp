#include "cross/common/profile_set.h"

std::shared_ptr<ProfileConfig> g_ProfileConfigPtr = std::make_shared<ProfileConfig>();
std::mutex g_mx_ProfileLocker;

Profile::Profile() {
  veskAddrs.reserve(4);
}

const VESKAddress* Profile::selectedAddress() const {
  if (usingVeskAddr < 0 || static_cast<size_t>(usingVeskAddr) >= veskAddrs.size()) return nullptr;
  return &veskAddrs[static_cast<size_t>(usingVeskAddr)];
}

uint32_t Profile::getVESKAddr() const {
  if (usingVeskAddr > 3) return 0;
  const VESKAddress* a = selectedAddress();
  if (a == nullptr) return 0;
  if (a->fa_ipaddr != 0 || a->type != VESKAddress::DNS_NAME) return a->fa_ipaddr;
  return resolveDNS_UL(a->fa_url);
}

uint32_t Profile::getVESKAddr() {
  VESKAddress* a = const_cast<VESKAddress*>(selectedAddress());
  if (a == nullptr) return 0;
  if (a->fa_ipaddr != 0 || a->type != VESKAddress::DNS_NAME) return a->fa_ipaddr;
  a->fa_ipaddr = resolveDNS_UL(a->fa_url);
  return a->fa_ipaddr;
}

bool Profile::isEmpty() const {
  return id == -1 || certificate.binUniqId.empty();
}

bool Profile::isEmptyNoAddr() const {
  return selectedAddress() == nullptr || isEmpty();
}
