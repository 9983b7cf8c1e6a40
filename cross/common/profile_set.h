#pragma once
// The second-format profile set in memory: the process-wide ProfileConfig,
// its profiles, their gateway addresses and certificate references.
#include <stdint.h>

#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cross/common/profile_address.h"

// The certificate reference of a certificate profile.
struct CertificateInfo {
  std::vector<unsigned char> binUniqId;  // 32 bytes when set
  std::string strUniqId;                 // base64 of binUniqId; the only field kept in the file
  std::string strCertCN;
  std::string strAlias;
  std::string strUpn;
  std::string strCertSubjInfo;

  friend bool operator==(const CertificateInfo&, const CertificateInfo&) = default;
};

struct Profile {
  enum : int32_t { CERTIFICATE = 0 };  // the only kind whose certificate is filled

  int32_t id = -1;  // -1: an empty profile
  uint8_t version = 1;
  std::string humanReadName;
  int32_t status = 0;
  std::vector<VESKAddress> veskAddrs;  // in order of preference
  int32_t usingVeskAddr = -1;          // index into veskAddrs; -1 none
  int32_t type = CERTIFICATE;
  uint8_t type_ext = 1;
  CertificateInfo certificate;
  int32_t cryptoAlg = 0;
  std::list<std::string> userNames;
  std::list<std::string> tunnelGroups;
  int32_t usingTunnelGroup = -1;  // index into tunnelGroups; -1 none

  Profile();

  // The address of the selected gateway (a name is resolved, the profile is
  // not changed), or 0; indexes above 3 select nothing.
  uint32_t getVESKAddr() const;
  // As above for any valid index, keeping a freshly resolved address.
  uint32_t getVESKAddr();
  // No identifier, or no binary certificate identifier.
  bool isEmpty() const;
  // No selected gateway address, or empty.
  bool isEmptyNoAddr() const;

  friend bool operator==(const Profile&, const Profile&) = default;

 private:
  const VESKAddress* selectedAddress() const;
};

struct ProfileConfig {
  int32_t version = 2;
  int32_t size = 0;  // stored with the set, never derived from profiles
  int32_t in_use = -1;
  int32_t autoconnect_profile = -1;
  std::vector<Profile> profiles;

  friend bool operator==(const ProfileConfig&, const ProfileConfig&) = default;
};

// The one set of the process, created with the defaults at start-up; its
// contents are replaced, never the object. Guarded by g_mx_ProfileLocker.
extern std::shared_ptr<ProfileConfig> g_ProfileConfigPtr;
extern std::mutex g_mx_ProfileLocker;
