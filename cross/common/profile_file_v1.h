#pragma once
// The profile list (profile_list.h) to and from the first-version profile
// file cfg.ini, or a text handed over by the caller.
#include <mutex>
#include <string>

// Held for the whole of every save and read below.
extern std::mutex mx_cfgwork_guard;

// settingsDir + "/cfg.ini" and installDir + "/cfg.ini".
std::string MakeCfgFilePath();
std::string MakeCfgFilePathForService();

// Saves the list as a document of version 1 with the given schema number.
// mode 0: to MakeCfgFilePath(); 0, or -1 when the file cannot be written.
// mode 1: into buf, whose size *len gives: 0 with the text terminated and
// its length in *len; -3 for a null buf or len; -4 when the text does not
// fit (buf and *len untouched). Another mode: -5. A text that is not valid
// UTF-8 throws the library's type error, and nothing is written.
int PC_List_SaveCfg(int mode, char* buf, unsigned* len, int current_schema);
// As PC_List_SaveCfg; mode 0 writes MakeCfgFilePathForService().
int PC_List_SaveCfgForService(int mode, char* buf, unsigned* len, int current_schema);

// Rebuilds the list from the len bytes at text when text is not null and
// len is above 0, else from the file MakeCfgFilePath(). 0 rebuilt; -1 the
// file cannot be opened; -2 the file is not JSON, or the rebuilt list's
// count differs from the document's "size" (the list stays rebuilt); -3 the
// document does not convert, names one id (other than -1) twice, or a record
// cannot be allocated. On the text path parse and conversion errors are
// thrown. The list is unchanged by every failure but the "size" mismatch.
int PC_List_ReadCfg(char* text, int len);
