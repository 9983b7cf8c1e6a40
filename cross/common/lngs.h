#pragma once
// The two-language string table of the daemon and its client programs:
// rows 0 to 268, each with a Russian and an English UTF-8 text.

enum { LNGS_RUSSIAN = 0, LNGS_ENGLISH = 1, LNGS_ROWS = 269 };

// The language LNGS answers in (0 Russian, the start value; 1 English).
void LNGS_SetLanguage(int language);
int LNGS_GetLanguage();

// The text of row id in the current language; an empty entry falls back to
// the Russian text, then to ""; a row or language out of range gives "?".
const char* LNGS(int id);
