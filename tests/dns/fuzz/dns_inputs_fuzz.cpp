// libFuzzer target: what the DNS integration reads from outside: the
// suffix baseline file, the gateway's 12-byte configuration records, the
// DNS servers' SOA and A answers, the Kerberos configuration and the
// gateway's suffix text. Input: a selector byte (% 6), then the bytes. The
// baseline reader must read back whatever it accepted once written again;
// the records must give distinct non-zero addresses; the suffix text only
// distinct DNS names, at most their bound.
#include <arpa/nameser.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>

#include "Service/common/dns/dns_names.h"
#include "Service/common/dns/dns_registrator.h"
#include "Service/common/dns/dns_update_servers.h"
#include "Service/common/dns/suffix_baseline_file.h"
#include "tests/common/fuzz_support.h"
#include "tests/common/test_dir.h"

namespace {

using zor::fuzz::Bytes;

std::unique_ptr<TestDir> dir;

void Baseline(const Bytes &b) {
  using namespace suffix_baseline;
  auto map = ParseSuffixBaseline(std::string(b.begin(), b.end()));
  if (!map) return;
  auto again = ParseSuffixBaseline(SuffixBaselineText(*map));
  if (!again || *again != *map) abort();
}

void Records(const Bytes &b) {
  std::vector<uint32_t> servers = DnsServersOfVeskCfg(b.data(), b.size());
  for (size_t i = 0; i < servers.size(); i++) {
    if (servers[i] == 0) abort();
    for (size_t j = 0; j < i; j++)
      if (servers[i] == servers[j]) abort();
  }
}

// The daemon's answer buffer holds at most 4096 bytes; an exact heap copy,
// so that a read past the answer is a finding.
template <typename Read>
void Answer(const Bytes &b, Read read) {
  size_t n = b.size() < 4096 ? b.size() : 4096;
  std::unique_ptr<unsigned char[]> exact(new unsigned char[n + 1]);
  if (n) memcpy(exact.get(), b.data(), n);
  try {
    read(exact.get(), static_cast<int>(n));
  } catch (const std::exception &) {
  }
}

void Krb5Conf(const Bytes &b) {
  std::string path = dir->file("krb5.conf");
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) abort();
  if (!b.empty() && fwrite(b.data(), 1, b.size(), f) != b.size()) abort();
  fclose(f);
  read_default_realm_from_krb5_conf(path);
}

void SuffixText(const Bytes &b) {
  std::list<std::string> names = SearchNamesOfText(std::string(b.begin(), b.end()));
  if (names.size() > kMostSearchNames) abort();
  for (auto i = names.begin(); i != names.end(); ++i) {
    if (!IsDnsName(*i)) abort();
    for (auto j = names.begin(); j != i; ++j)
      if (strcasecmp(i->c_str(), j->c_str()) == 0) abort();
  }
}

// Seed writers: a name in wire form, and an answer of one record.
void PutName(Bytes &m, const char *name) {
  for (const char *p = name; *p;) {
    const char *dot = strchr(p, '.');
    size_t n = dot ? static_cast<size_t>(dot - p) : strlen(p);
    m.push_back(static_cast<uint8_t>(n));
    m.insert(m.end(), p, p + n);
    p += n + (dot ? 1 : 0);
  }
  m.push_back(0);
}
void PutBigU16(Bytes &m, uint16_t v) {
  m.push_back(static_cast<uint8_t>(v >> 8));
  m.push_back(static_cast<uint8_t>(v));
}

Bytes AnswerOf(const char *name, uint16_t type, const Bytes &rdata) {
  Bytes m = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
  PutName(m, name);
  PutBigU16(m, type);
  PutBigU16(m, ns_c_in);
  m.insert(m.end(), {0xC0, 0x0C});   // the question's name
  PutBigU16(m, type);
  PutBigU16(m, ns_c_in);
  m.insert(m.end(), {0, 0, 0x0E, 0x10});
  PutBigU16(m, static_cast<uint16_t>(rdata.size()));
  m.insert(m.end(), rdata.begin(), rdata.end());
  return m;
}

Bytes With(uint8_t selector, const std::string &text) {
  Bytes b = {selector};
  b.insert(b.end(), text.begin(), text.end());
  return b;
}
Bytes With(uint8_t selector, const Bytes &bytes) {
  Bytes b = {selector};
  b.insert(b.end(), bytes.begin(), bytes.end());
  return b;
}

zor::fuzz::Seeds MakeSeeds() {
  Bytes soa;
  PutName(soa, "ns1.corp.test.");
  PutName(soa, "admin.corp.test");
  for (int i = 0; i < 20; i++) soa.push_back(static_cast<uint8_t>(i));
  Bytes records;
  for (uint32_t w : {0xC0000235u, 32u, 0u, 0xC0000236u, 24u, 1u, 0xC0000235u, 32u, 0u}) zor::fuzz::PutU32(records, w);
  return {
      {"baseline", With(0, std::string("{\"connections\":[{\"id\":\"Wired 1\",\"search\":[\"corp\",\"a\\u0041\\\\\"]}]}\n"))},
      {"baseline-empty", With(0, std::string("{\"connections\":[]}"))},
      {"records", With(1, records)},
      {"soa", With(2, AnswerOf("corp.test", ns_t_soa, soa))},
      {"a", With(3, AnswerOf("ns1.corp.test", ns_t_a, {192, 0, 2, 53}))},
      {"krb5", With(4, std::string("[libdefaults]\n  default_realm = CORP.TEST. # realm\n[realms]\n"))},
      {"suffixes", With(5, std::string("a.example; b.example;;A.EXAMPLE;a..b;-x"))},
  };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  dir = std::make_unique<TestDir>("zor-dns-fuzz");
  atexit([] { dir.reset(); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  uint8_t selector = in.Byte() % 6;
  Bytes b = in.Rest();
  switch (selector) {
    case 0: Baseline(b); break;
    case 1: Records(b); break;
    case 2: Answer(b, [](const unsigned char *a, int n) { soa_primary_of_answer(a, n, "corp.test"); }); break;
    case 3: Answer(b, ipv4_addresses_of_answer); break;
    case 4: Krb5Conf(b); break;
    default: SuffixText(b); break;
  }
  return 0;
}
