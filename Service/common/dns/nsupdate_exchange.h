#pragma once
// The Kerberos-authenticated update: kinit with the host key from
// /etc/krb5.keytab, one `nsupdate -g` script per update server until one
// accepts, kdestroy. Each program gets a bounded time.
#include <string>

// Time given to each of kinit, nsupdate and kdestroy.
inline constexpr int kDnsUpdateProgramTimeoutMs = 60000;

// The five-line script for server; throws std::invalid_argument when a text
// could add a command to it (blank or control character, empty text).
std::string NsupdateScript(const std::string& server, const std::string& realm, const std::string& record,
                           const std::string& ip);

// Registers ip under record (no final dot) with the key of host (upper-case
// short name); returns when one server accepted, throws otherwise.
void update_dns(const std::string& ip, const std::string& record, const std::string& host);
void do_kinit(const std::string& host);
void do_kdestroy();
