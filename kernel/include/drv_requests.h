// The control requests between the service and the filter: request codes,
// the answer statuses and the 24-byte header of the framed requests. Shared
// by the filter, its hosts and the service; freestanding (no library headers).
#pragma once
#include <stdint.h>

// Request codes. 0-47 are framed (a DrvRequestHeader leads request and
// reply); 49-62 are unframed and answered by the control entry itself; 48,
// 52-57 and anything above 62 are rejected. Codes whose identifier below has
// no log name (see DrvRequestName) are logged as "?".
enum DrvRequestCode : uint32_t {
  RQC_GETINFO = 0,
  RQC_GETCFGCON = 1,
  RQC_GETSTAT = 2,
  RQC_INIT = 3,
  RQC_TEST = 4,
  RQC_TREATPACKET = 5,
  RQC_MAKESYNRQ = 6,
  RQC_MAKESYNRQ_CHECKAVAILABLE = 7,
  RQC_TREATSYNRQ_CHECKAVAILABLE = 8,
  RQC_MAKESYNOK = 9,
  RQC_SETKEYS = 10,
  RQC_DISCONNECT = 11,
  RQC_UPDSENDREQ = 12,
  RQC_UPDGETANSW = 13,
  RQC_GETVESKCFG = 14,
  RQC_GETVESKCFG_OTHER = 15,
  RQC_GETLOCALCFG = 16,
  RQC_SETLOCALCFG = 17,
  RQC_PCONNECTING = 18,
  RQC_PCONNECTED = 19,
  RQC_PDISCONNECT = 20,
  RQC_RESETSTATE = 21,          // no log name
  RQC_GETFIREWALLINFO = 22,
  RQC_SETFILTERPARAMS = 23,
  RQC_SETVESKGATEWAY = 24,
  RQC_SETAUXINFO = 25,
  RQC_SEEDRANDOM = 26,          // no log name
  RQC_GETVESKINFO = 27,
  RQC_GETGATEWAYBLOCK28 = 28,   // no log name
  RQC_GETGATEWAYBLOCK29 = 29,   // no log name
  RQC_SETBLOCKNET = 30,         // no log name
  RQC_CREATETRANSPORTKEY = 31,
  RQC_GETNEXTSYNPACKETNUMBER = 32,
  RQC_GETACCESSLEVEL = 33,
  RQC_SETSYNVERSION = 34,
  RQC_SETTUNNELGROUP = 35,
  RQC_GETCOUNTRY_CODE = 36,
  RQC_SETMAGMAENABLED = 37,     // no log name
  RQC_SETHOSTWHITELIST = 38,
  RQC_SETAUTHTYPEEXT = 39,
  RQC_SETCLIENTSOCKET = 40,
  RQC_GETDNS_SUFFIX = 41,
  RQC_GETSTATUS_JSON = 42,
  RQC_SETFAILRATE = 43,
  RQC_SETIPWHITELIST = 44,
  RQC_SETPROTOCOLSWHITELIST = 45,
  RQC_SETDNSUPDATESERVERS = 46,
  RQC_GETSTAGETIMEOUT = 47,
  RQC_LAST_FRAMED = RQC_GETSTAGETIMEOUT,
  IOCTL_GETCODE = 49,
  IOCTL_CONFIRM = 50,
  IOCTL_SETPID = 51,
  IOCTL_GETDDATALEN = 58,
  IOCTL_GETDDATA = 59,
  IOCTL_SETVPNADAPTER = 60,
  IOCTL_GETDRVQUEUES = 61,
  IOCTL_CHECKVPNADAPTER = 62,   // no log name
  IOCTL_LAST = IOCTL_CHECKVPNADAPTER,
};

// The name the service's log gives a request: "?" for codes without one.
inline const char *DrvRequestName(uint32_t code) {
  static const char *const kNames[] = {
      "RQC_GETINFO", "RQC_GETCFGCON", "RQC_GETSTAT", "RQC_INIT", "RQC_TEST",
      "RQC_TREATPACKET", "RQC_MAKESYNRQ", "RQC_MAKESYNRQ_CHECKAVAILABLE",
      "RQC_TREATSYNRQ_CHECKAVAILABLE", "RQC_MAKESYNOK", "RQC_SETKEYS", "RQC_DISCONNECT",
      "RQC_UPDSENDREQ", "RQC_UPDGETANSW", "RQC_GETVESKCFG", "RQC_GETVESKCFG_OTHER",
      "RQC_GETLOCALCFG", "RQC_SETLOCALCFG", "RQC_PCONNECTING", "RQC_PCONNECTED",
      "RQC_PDISCONNECT", nullptr, "RQC_GETFIREWALLINFO", "RQC_SETFILTERPARAMS",
      "RQC_SETVESKGATEWAY", "RQC_SETAUXINFO", nullptr, "RQC_GETVESKINFO", nullptr, nullptr,
      nullptr, "RQC_CREATETRANSPORTKEY", "RQC_GETNEXTSYNPACKETNUMBER", "RQC_GETACCESSLEVEL",
      "RQC_SETSYNVERSION", "RQC_SETTUNNELGROUP", "RQC_GETCOUNTRY_CODE", nullptr,
      "RQC_SETHOSTWHITELIST", "RQC_SETAUTHTYPEEXT", "RQC_SETCLIENTSOCKET",
      "RQC_GETDNS_SUFFIX", "RQC_GETSTATUS_JSON", "RQC_SETFAILRATE", "RQC_SETIPWHITELIST",
      "RQC_SETPROTOCOLSWHITELIST", "RQC_SETDNSUPDATESERVERS", "RQC_GETSTAGETIMEOUT",
      nullptr, "IOCTL_GETCODE", "IOCTL_CONFIRM", "IOCTL_SETPID", nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr, "IOCTL_GETDDATALEN", "IOCTL_GETDDATA",
      "IOCTL_SETVPNADAPTER", "IOCTL_GETDRVQUEUES",
  };
  constexpr uint32_t count = sizeof kNames / sizeof kNames[0];
  static_assert(count == IOCTL_GETDRVQUEUES + 1, "one name slot per code up to 61");
  return code < count && kNames[code] ? kNames[code] : "?";
}

// Answer words of the filter's request handlers (a framed request's result
// is otherwise 24 + its reply payload length).
enum DrvStatus : int32_t {
  DRV_OK = 0,
  DRV_BAD_MAGIC = -1,       // header magic is not DRV_REQUEST_MAGIC
  DRV_BAD_SIZE = -2,        // buffer shorter than the header, or payload of the wrong size
  DRV_NO_ROOM = -3,         // no room for the reply, or nothing to return
  DRV_SHORT_PAYLOAD = -4,   // payload too short
  DRV_NO_RESOURCE = -4,     // no memory, or more entries than the filter holds
  DRV_NOT_POSSIBLE = -5,    // filter not started, code unsupported, or not in this state
  DRV_OUT_OF_RANGE = -22,   // index or length out of range
};
// The reply header's status of RQC_UPDGETANSW when no update answer waits.
constexpr int32_t DRV_STATUS_NO_UPDATE_ANSWER = 14;

// Results the service's request channel adds to the filter's answer words.
enum DrvChannelStatus : int32_t {
  DRV_CHANNEL_FAILED = 5,          // transport or size failure of the exchange
  DRV_REPLY_BAD_MAGIC = -1001,     // zero status but a wrong magic in the reply
  DRV_REPLY_MALFORMED = -1002,     // request too large, or reply short or overlong
};

constexpr uint16_t DRV_REQUEST_MAGIC = 0x0209;
// Largest payload behind the header: the 18432-byte request buffer less it.
constexpr uint32_t DRV_BUFFER_SIZE = 18432;

// Leads every framed request and its reply (little-endian fields, read
// natively on this little-endian host; may_alias: laid over byte buffers).
struct __attribute__((packed, may_alias)) DrvRequestHeader {
  uint16_t magic;      // DRV_REQUEST_MAGIC both ways
  uint8_t state;       // reply: the filter's connection state (0-7)
  uint8_t flag;        // reply: 10 after the SYN builders (requests 6, 7, 9), else 0
  uint32_t port;       // reply: the gateway's UDP port 87 after the SYN builders, else 0
  uint32_t value;      // reply: 2000 after the SYN builders, else 0
  int32_t status;      // reply: the request's status where it sets one, else 0
  uint32_t reserved;   // 0 both ways
  uint32_t length;     // request: the payload length (or the room the service
                       // accepts); reply: the reply payload length
};
static_assert(sizeof(DrvRequestHeader) == 24, "the framed request header is 24 bytes");

constexpr uint32_t DRV_MAX_PAYLOAD = DRV_BUFFER_SIZE - sizeof(DrvRequestHeader);
