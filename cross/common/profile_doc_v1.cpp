#include "cross/common/profile_doc_v1.h"

#include "cross/common/profile_file_io.h"

namespace {

// Element i of a number array that must hold at least i + 1 elements.
uint32_t arrayNumber(const json& array, size_t i) {
  JsonArray(array);
  return JsonNumber<uint32_t>(array.at(i));
}

}  // namespace

void to_json(json& j, const AC_Config& c) {
  j = json{{"version", c.version},
           {"size", c.size},
           {"in_use", c.in_use},
           {"current_schema", c.current_schema},
           {"profiles", c.profiles}};
}

void to_json(json& j, const json_Profile& p) {
  j = json{{"version", p.version},
           {"id", p.id},
           {"status", p.status},
           {"humanReadName", p.humanReadName},
           {"cfg", p.cfg},
           {"veskAddrs", p.veskAddrs},
           {"usingVeskAddr", p.usingVeskAddr},
           {"type", p.type},
           {"certificate", p.certificate},
           {"cryptoAlg", p.cryptoAlg},
           {"userNames", p.userNames},
           {"tunnelGroup", p.tunnelGroup}};
}

void to_json(json& j, const json_cfgtype& c) {
  j = json{{"ch_cfgver", c.ch_cfgver},
           {"ch_features", c.ch_features},
           {"ch_flags", c.ch_flags},
           {"ch_vpncard_packdisable", c.ch_vpncard_packdisable},
           {"ch_othercard_packdisable", c.ch_othercard_packdisable},
           {"ch_align", c.ch_align},
           {"ch_veskipaddr", c.ch_veskipaddr},
           {"ch_serveripaddr", c.ch_serveripaddr},
           {"ch_fcs32", c.ch_fcs32}};
}

void to_json(json& j, const json_certificate& c) {
  j = json{{"uniqId", c.uniqId},
           {"certCN", c.certCN},
           {"alias", c.alias},
           {"upn", c.upn},
           {"certSubjInfo", c.certSubjInfo}};
}

void to_json(json& j, const json_VESK_ADDR_t& a) {
  j = json{{"type", a.type}, {"fa_ipaddr", a.fa_ipaddr}, {"fa_url", a.fa_url}};
}

void from_json(const json& j, AC_Config& c) {
  const json::object_t& o = JsonObject(j);
  ReadNumber(o, "version", c.version);
  ReadNumber(o, "size", c.size);
  ReadNumber(o, "in_use", c.in_use);
  ReadNumber(o, "current_schema", c.current_schema);
  if (const json* profiles = JsonMember(o, "profiles")) {
    c.profiles.clear();
    for (const json& e : JsonArray(*profiles)) c.profiles.push_back(e.get<json_Profile>());
  }
}

void from_json(const json& j, json_Profile& p) {
  const json::object_t& o = JsonObject(j);
  ReadNumber(o, "version", p.version);
  ReadNumber(o, "id", p.id);
  ReadNumber(o, "status", p.status);
  ReadText(o, "humanReadName", p.humanReadName);
  if (const json* cfg = JsonMember(o, "cfg")) p.cfg = cfg->get<json_cfgtype>();
  if (const json* addrs = JsonMember(o, "veskAddrs")) from_json(*addrs, p.veskAddrs);
  ReadNumber(o, "usingVeskAddr", p.usingVeskAddr);
  ReadNumber(o, "type", p.type);
  if (const json* cert = JsonMember(o, "certificate")) p.certificate = cert->get<json_certificate>();
  ReadNumber(o, "cryptoAlg", p.cryptoAlg);
  ReadTexts(o, "userNames", p.userNames);
  ReadText(o, "tunnelGroup", p.tunnelGroup);
}

void from_json(const json& j, json_cfgtype& c) {
  JsonObject(j);
  c.ch_cfgver = JsonNumber<uint16_t>(j.at("ch_cfgver"));
  c.ch_features = JsonNumber<uint8_t>(j.at("ch_features"));
  c.ch_flags = JsonNumber<uint8_t>(j.at("ch_flags"));
  c.ch_vpncard_packdisable = JsonNumber<uint8_t>(j.at("ch_vpncard_packdisable"));
  c.ch_othercard_packdisable = JsonNumber<uint8_t>(j.at("ch_othercard_packdisable"));
  c.ch_align = JsonNumber<uint16_t>(j.at("ch_align"));
  const json& gateways = j.at("ch_veskipaddr");
  arrayNumber(gateways, c.ch_veskipaddr.size() - 1);  // must be there, is not kept
  c.ch_veskipaddr = {arrayNumber(gateways, 0), 0, 0, 0};
  const json& servers = j.at("ch_serveripaddr");
  for (size_t i = 0; i < c.ch_serveripaddr.size(); i++) c.ch_serveripaddr[i] = arrayNumber(servers, i);
  c.ch_fcs32 = JsonNumber<uint32_t>(j.at("ch_fcs32"));
}

void from_json(const json& j, json_certificate& c) {
  const json::object_t& o = JsonObject(j);
  ReadText(o, "uniqId", c.uniqId);
  ReadText(o, "certCN", c.certCN);
  ReadText(o, "alias", c.alias);
  ReadText(o, "upn", c.upn);
  ReadText(o, "certSubjInfo", c.certSubjInfo);
}

void from_json(const json& j, json_VESK_ADDR_t& a) {
  const json::object_t& o = JsonObject(j);
  ReadNumber(o, "type", a.type);
  ReadNumber(o, "fa_ipaddr", a.fa_ipaddr);
  ReadText(o, "fa_url", a.fa_url);
}

void from_json(const json& j, std::vector<json_VESK_ADDR_t>& addrs) {
  std::vector<json_VESK_ADDR_t> read;
  for (const json& e : JsonArray(j)) read.push_back(e.get<json_VESK_ADDR_t>());
  addrs = std::move(read);
}

template <>
int JSON_Write<AC_Config>(std::string path, const AC_Config& cfg) {
  return WriteJsonFile(path, json(cfg));
}

template <>
int JSON_Read<AC_Config>(std::string path, AC_Config& cfg) {
  if (!file_exists(path)) return -1;
  try {
    std::string text;
    if (!ReadFileText(path, &text)) return -1;
    cfg = JsonParse(text).get<AC_Config>();
  } catch (const json::parse_error&) {
    return -2;
  } catch (const std::exception&) {
    return -3;
  }
  return 0;
}

std::string JSON_WriteToString(AC_Config& cfg) {
  return JsonText(json(cfg));
}

int JSON_ReadFromString(std::string text, AC_Config* cfg) {
  if (text.empty()) return -1;
  *cfg = JsonParse(text).get<AC_Config>();
  return 0;
}
