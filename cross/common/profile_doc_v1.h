#pragma once
// The first-version profile document (cfg.ini, "version" 1) in memory: one
// plain value type per JSON object, with its converters. Every member is
// optional on reading (a missing one leaves the default: 0, empty) except
// inside "cfg", where all nine members are required and "ch_veskipaddr"
// and "ch_serveripaddr" must hold at least 4 and 28 numbers. Members that
// are not named here are ignored.
#include <stdint.h>

#include <array>
#include <list>
#include <string>
#include <vector>

#include "cross/common/profile_cfgtype.h"
#include "cross/common/profile_json.h"

// The JSON form of cfgtype; the seal is carried as stored, never checked.
struct json_cfgtype {
  uint16_t ch_cfgver = 0;
  uint8_t ch_features = 0;
  uint8_t ch_flags = 0;
  uint8_t ch_vpncard_packdisable = 0;
  uint8_t ch_othercard_packdisable = 0;
  uint16_t ch_align = 0;
  std::array<uint32_t, 4> ch_veskipaddr{};  // element 0 is the gateway; 1 to 3 written as 0, not read
  std::array<uint32_t, CFG_SERVER_ADDRS> ch_serveripaddr{};
  uint32_t ch_fcs32 = 0;

  friend bool operator==(const json_cfgtype&, const json_cfgtype&) = default;
};

struct json_VESK_ADDR_t {
  int32_t type = 0;  // 1 IPv4 address, 2 URL
  uint32_t fa_ipaddr = 0;
  std::string fa_url;

  friend bool operator==(const json_VESK_ADDR_t&, const json_VESK_ADDR_t&) = default;
};

struct json_certificate {
  std::string uniqId;  // base64 of the 32-byte binary identifier
  std::string certCN;
  std::string alias;
  std::string upn;
  std::string certSubjInfo;

  friend bool operator==(const json_certificate&, const json_certificate&) = default;
};

struct json_Profile {
  uint8_t version = 0;
  int32_t id = 0;
  int32_t status = 0;
  std::string humanReadName;
  json_cfgtype cfg;
  std::vector<json_VESK_ADDR_t> veskAddrs;
  int32_t usingVeskAddr = 0;
  int32_t type = 0;
  json_certificate certificate;
  int32_t cryptoAlg = 0;
  std::list<std::string> userNames;
  std::string tunnelGroup;

  friend bool operator==(const json_Profile&, const json_Profile&) = default;
};

// The document root.
struct AC_Config {
  int32_t version = 0;
  int32_t size = 0;
  int32_t in_use = 0;
  int32_t current_schema = 0;
  std::vector<json_Profile> profiles;

  friend bool operator==(const AC_Config&, const AC_Config&) = default;
};

void to_json(json& j, const AC_Config& c);
void to_json(json& j, const json_Profile& p);
void to_json(json& j, const json_cfgtype& c);
void to_json(json& j, const json_certificate& c);
void to_json(json& j, const json_VESK_ADDR_t& a);

// Throw the library's type, out-of-range and parse errors.
void from_json(const json& j, AC_Config& c);
void from_json(const json& j, json_Profile& p);
void from_json(const json& j, json_cfgtype& c);
void from_json(const json& j, json_certificate& c);
void from_json(const json& j, json_VESK_ADDR_t& a);
void from_json(const json& j, std::vector<json_VESK_ADDR_t>& addrs);

// File form: JSON_Write gives 0, or -1 when the file cannot be written;
// JSON_Read gives 0, -1 the file cannot be opened, -2 the text is not JSON,
// -3 any other error, and replaces cfg only on 0.
template <class T>
int JSON_Write(std::string path, const T& cfg);
template <class T>
int JSON_Read(std::string path, T& cfg);
template <>
int JSON_Write<AC_Config>(std::string path, const AC_Config& cfg);
template <>
int JSON_Read<AC_Config>(std::string path, AC_Config& cfg);

// Text form. JSON_ReadFromString gives -1 for an empty text, else 0 with
// *cfg replaced; its parse and conversion errors are thrown (*cfg unchanged).
std::string JSON_WriteToString(AC_Config& cfg);
int JSON_ReadFromString(std::string text, AC_Config* cfg);
