#pragma once
// The second-version profile file cfg.ini: one ProfileConfig (profile_set.h)
// as a JSON document. Every member is optional on reading, a missing one
// taking the default of the model; every member is written, keys sorted.
#include <string>

#include "cross/common/profile_json.h"
#include "cross/common/profile_set.h"

void to_json(json& j, const ProfileConfig& c);
void to_json(json& j, const Profile& p);
void to_json(json& j, const VESKAddress& a);
// Throw the library's type and out-of-range errors.
void from_json(const json& j, ProfileConfig& c);
void from_json(const json& j, Profile& p);
void from_json(const json& j, VESKAddress& a);

// 0 written; -1 the file cannot be written. A text that is not valid UTF-8
// throws the library's type error, and the file is left as it was.
int JSON_Write(std::string path, ProfileConfig& config);
// 0 read; -1 the file cannot be opened; -2 the text is not JSON; -3 the
// JSON does not fit the model. *config is replaced only on 0.
int JSON_Read(std::string path, ProfileConfig* config);

// Loads settingsDir + "/cfg.ini" into *g_ProfileConfigPtr under
// g_mx_ProfileLocker. A missing file gives the defaults; an unreadable one
// is moved aside as its path + ".bad" and gives the defaults. Returns 0.
int ReadConfig();

// settingsDir + "/cfg.ini" and installDir + "/cfg.ini".
std::string MakeConfigFPath();
std::string MakeConfigFPathService();
