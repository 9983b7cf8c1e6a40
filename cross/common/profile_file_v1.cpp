#include "cross/common/profile_file_v1.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <set>
#include <utility>

#include "cross/common/lngs.h"
#include "cross/common/profile_doc_v1.h"
#include "cross/common/profile_file_io.h"
#include "cross/common/profile_list.h"
#include "cross/common/profile_text.h"
#include "cross/utils/base64.h"
#include "cross/utils/execution_dir.h"

std::mutex mx_cfgwork_guard;

namespace {

// The string-table row whose text names a single-factor profile's certificate.
constexpr int kOneFactorCertName = 100;

template <size_t N>
void copyIfNotEmpty(char (&field)[N], const std::string& text) {
  if (!text.empty()) CopyToField(field, N, text);
}

// ---- list to document ----

json_cfgtype cfgDocument(const cfgtype& c) {
  json_cfgtype d;
  d.ch_cfgver = c.ch_cfgver;
  d.ch_features = c.ch_features;
  d.ch_flags = c.ch_flags;
  d.ch_vpncard_packdisable = c.ch_vpncard_packdisable;
  d.ch_othercard_packdisable = c.ch_othercard_packdisable;
  d.ch_align = c.ch_align;
  d.ch_veskipaddr = {c.ch_veskipaddr, 0, 0, 0};
  std::copy(std::begin(c.ch_serveripaddr), std::end(c.ch_serveripaddr), d.ch_serveripaddr.begin());
  d.ch_fcs32 = c.ch_fcs32;
  return d;
}

json_certificate certificateDocument(const PROFILE_CONFIG_t& r) {
  json_certificate d;
  if (r.type == PROFILE_TYPE_CERTIFICATE) {
    d.uniqId = b64encode(r.uniqId, PROFILE_UNIQID_LEN);
    d.certCN = FieldText(r.certCN);
    d.alias = FieldText(r.alias);
    d.certSubjInfo = FieldText(r.certSubjInfo);
  } else if (r.type == PROFILE_TYPE_ONE_FACTOR) {
    d.certCN = LNGS(kOneFactorCertName);
  }
  d.upn = FieldText(r.upn);
  return d;
}

std::vector<json_VESK_ADDR_t> addressDocuments(const PROFILE_CONFIG_t& r) {
  std::vector<json_VESK_ADDR_t> addrs;
  for (const VESK_ADDR_t& slot : r.veskAddrs) {
    if (slot.type == VESK_ADDR_EMPTY) continue;
    json_VESK_ADDR_t a;
    a.type = static_cast<int32_t>(slot.type);
    if (slot.type == VESK_ADDR_IPV4) a.fa_ipaddr = slot.fa_ipaddr;
    if (slot.type == VESK_ADDR_URL) a.fa_url = FieldText(slot.fa_url);
    addrs.push_back(a);
  }
  return addrs;
}

json_Profile profileDocument(const PROFILE_CONFIG_t& r) {
  json_Profile d;
  d.version = r.version;
  d.id = r.id;
  d.status = static_cast<int32_t>(r.status);
  d.type = static_cast<int32_t>(r.type);
  d.usingVeskAddr = static_cast<int32_t>(r.usingVeskAddr);
  d.cryptoAlg = static_cast<int32_t>(r.cryptoAlg);
  d.humanReadName = FieldText(r.humanReadName);
  d.tunnelGroup = FieldText(r.tunnelGroup);
  d.cfg = cfgDocument(r.cfg);
  d.certificate = certificateDocument(r);
  d.veskAddrs = addressDocuments(r);
  for (const auto& name : r.userNames) {
    if (name[0] != '\0') d.userNames.push_back(FieldText(name));
  }
  return d;
}

AC_Config listDocument(int current_schema) {
  AC_Config doc;
  doc.version = 1;
  doc.size = static_cast<int32_t>(PROFILE_CFG_LIST.count);
  doc.in_use = PROFILE_CFG_LIST.in_use;
  doc.current_schema = current_schema;
  for (const PROFILE_CONFIG_t* r = PROFILE_CFG_LIST.head; r != nullptr; r = r->next) {
    doc.profiles.push_back(profileDocument(*r));
  }
  return doc;
}

int saveCfg(const std::string& path, int mode, char* buf, unsigned* len, int current_schema) {
  std::lock_guard<std::mutex> lock(mx_cfgwork_guard);
  if (mode != 0 && mode != 1) return -5;
  AC_Config doc = listDocument(current_schema);
  if (mode == 0) return JSON_Write(path, doc);
  if (buf == nullptr || len == nullptr) return -3;
  std::string text = JSON_WriteToString(doc);
  size_t room = *len;
  if (text.size() >= room) return -4;
  memcpy(buf, text.data(), text.size());
  memset(buf + text.size(), 0, room - text.size());
  *len = static_cast<unsigned>(text.size());
  return 0;
}

// ---- document to list ----

cfgtype cfgRecord(const json_cfgtype& d) {
  cfgtype c{};
  c.ch_cfgver = d.ch_cfgver;
  c.ch_features = d.ch_features;
  c.ch_flags = d.ch_flags;
  c.ch_vpncard_packdisable = d.ch_vpncard_packdisable;
  c.ch_othercard_packdisable = d.ch_othercard_packdisable;
  c.ch_align = d.ch_align;
  c.ch_veskipaddr = d.ch_veskipaddr[0];
  std::copy(d.ch_serveripaddr.begin(), d.ch_serveripaddr.end(), c.ch_serveripaddr);
  c.ch_fcs32 = d.ch_fcs32;
  return c;
}

void fillAddresses(PROFILE_CONFIG_t* r, const std::vector<json_VESK_ADDR_t>& addrs) {
  for (size_t i = 0; i < addrs.size() && i < PROFILE_VESK_ADDRS; i++) {
    VESK_ADDR_t& slot = r->veskAddrs[i];
    slot.type = static_cast<uint32_t>(addrs[i].type);
    if (slot.type == VESK_ADDR_IPV4 && addrs[i].fa_ipaddr != 0) slot.fa_ipaddr = addrs[i].fa_ipaddr;
    if (slot.type == VESK_ADDR_URL) copyIfNotEmpty(slot.fa_url, addrs[i].fa_url);
  }
}

// A certificate profile's common name leads its user names unless among them.
void fillUserNames(PROFILE_CONFIG_t* r, const json_Profile& p) {
  std::list<std::string> names = p.userNames;
  const std::string& cn = p.certificate.certCN;
  if (p.type == static_cast<int32_t>(PROFILE_TYPE_CERTIFICATE) && !cn.empty() &&
      std::find(names.begin(), names.end(), cn) == names.end()) {
    names.push_front(cn);
  }
  memset(r->userNames, 0, sizeof r->userNames);
  size_t slot = 0;
  for (auto it = names.begin(); it != names.end() && slot < PROFILE_USERNAMES; ++it, ++slot) {
    CopyToField(r->userNames[slot], PROFILE_USERNAME_LEN, *it);
  }
}

void fillRecord(PROFILE_CONFIG_t* r, const json_Profile& p) {
  r->version = p.version;
  r->status = static_cast<uint32_t>(p.status);
  copyIfNotEmpty(r->humanReadName, p.humanReadName);
  r->cfg = cfgRecord(p.cfg);
  r->type = static_cast<uint32_t>(p.type);
  if (r->type == PROFILE_TYPE_CERTIFICATE) {
    std::vector<unsigned char> uniqId = b64decode(p.certificate.uniqId);
    memcpy(r->uniqId, uniqId.data(), std::min(uniqId.size(), sizeof r->uniqId));
    copyIfNotEmpty(r->alias, p.certificate.alias);
  }
  copyIfNotEmpty(r->certCN, p.certificate.certCN);
  copyIfNotEmpty(r->certSubjInfo, p.certificate.certSubjInfo);
  fillAddresses(r, p.veskAddrs);
  r->usingVeskAddr = static_cast<uint32_t>(p.usingVeskAddr);
  r->cryptoAlg = static_cast<uint32_t>(p.cryptoAlg);
  memset(r->upn, 0, sizeof r->upn);
  CopyToField(r->upn, sizeof r->upn, p.certificate.upn);
  copyIfNotEmpty(r->tunnelGroup, p.tunnelGroup);
  fillUserNames(r, p);
}

// Records share one per id, so a document naming an id twice would merge
// two profiles into one record: such a document is refused.
bool hasDuplicateIds(const AC_Config& doc) {
  std::set<int32_t> ids;
  for (const json_Profile& p : doc.profiles) {
    if (p.id != -1 && !ids.insert(p.id).second) return true;
  }
  return false;
}

void deleteRecordsOf(PROFILE_CFG_LIST_t records) {
  std::swap(PROFILE_CFG_LIST, records);
  PC_List_DeleteAllConfigs();
  std::swap(PROFILE_CFG_LIST, records);
}

// Builds the new records on a list of their own and drops the old records
// only when every new one is made, so a failure leaves the old list intact.
int rebuildList(const AC_Config& doc) {
  const PROFILE_CFG_LIST_t old = PROFILE_CFG_LIST;
  PROFILE_CFG_LIST = {doc.in_use, 0, nullptr};
  try {
    for (const json_Profile& p : doc.profiles) {
      PROFILE_CONFIG_t* r = PC_List_AddNewConfig(p.id);
      if (r == nullptr) {
        deleteRecordsOf(std::exchange(PROFILE_CFG_LIST, old));
        return -3;
      }
      fillRecord(r, p);
    }
  } catch (...) {
    deleteRecordsOf(std::exchange(PROFILE_CFG_LIST, old));
    throw;
  }
  deleteRecordsOf(old);
  return static_cast<int64_t>(doc.size) == PROFILE_CFG_LIST.count ? 0 : -2;
}

}  // namespace

std::string MakeCfgFilePath() {
  return CfgIniPath(settingsDir);
}

std::string MakeCfgFilePathForService() {
  return CfgIniPath(installDir);
}

int PC_List_SaveCfg(int mode, char* buf, unsigned* len, int current_schema) {
  return saveCfg(MakeCfgFilePath(), mode, buf, len, current_schema);
}

int PC_List_SaveCfgForService(int mode, char* buf, unsigned* len, int current_schema) {
  return saveCfg(MakeCfgFilePathForService(), mode, buf, len, current_schema);
}

int PC_List_ReadCfg(char* text, int len) {
  std::lock_guard<std::mutex> lock(mx_cfgwork_guard);
  AC_Config doc;
  int r = text != nullptr && len > 0 ? JSON_ReadFromString(std::string(text, static_cast<size_t>(len)), &doc)
                                     : JSON_Read(MakeCfgFilePath(), doc);
  if (r != 0) return r;
  if (hasDuplicateIds(doc)) return -3;
  return rebuildList(doc);
}
