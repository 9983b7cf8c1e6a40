#pragma once
// The Kerberos-authenticated update: kinit with the host key from
// /etc/krb5.keytab, one `nsupdate -g` script per update server until one
// accepts, kdestroy. Each program gets a bounded time, and the credential
// cache and Kerberos configuration in its own environment: the daemon's
// stays as it is.
#include <string>
#include <vector>

#include "cross/utils/ipc_message.h"

// The host's ticket lives here while an update runs: a file in the daemon's
// run directory (root's, made at start-up), where no other user can create
// or hold the name first.
inline constexpr const char* kKerberosCredentialCache = IPC_RUN_DIR "/krb5cc_vpn_daemon";

// Time given to each of kinit, nsupdate and kdestroy.
inline constexpr int kDnsUpdateProgramTimeoutMs = 60000;

// The five-line script for server; throws std::invalid_argument when a text
// could add a command to it (blank or control character, empty text).
std::string NsupdateScript(const std::string& server, const std::string& realm, const std::string& record,
                           const std::string& ip);

// The environment entries of kinit, nsupdate and kdestroy: KRB5CCNAME, the
// credential cache, and KRB5_CONFIG when krb5Config is not empty.
std::vector<std::string> KerberosEnvironment(const std::string& krb5Config);

// Registers ip under record (no final dot) with the key of host (upper-case
// short name); returns when one server accepted, throws otherwise.
// krb5Config, when not empty, is the programs' KRB5_CONFIG.
void update_dns(const std::string& ip, const std::string& record, const std::string& host,
                const std::string& krb5Config);
void do_kinit(const std::string& host, const std::vector<std::string>& environment);
void do_kdestroy(const std::vector<std::string>& environment);
