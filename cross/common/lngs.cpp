#include "cross/common/lngs.h"

#include <array>
#include <atomic>
#include <string>

namespace {

struct Row {
  std::string text[2];  // by language: Russian, English
};

// Rows whose texts are fixed because other programs and stored files show
// them; every other row carries a plain numbered text.
struct FixedRow {
  int id;
  const char* russian;
  const char* english;
};
const FixedRow kFixedRows[] = {
    {100, "RI-Ruzudur", "VO-Zoruzir"},
};

std::array<Row, LNGS_ROWS> buildTable() {
  std::array<Row, LNGS_ROWS> table;
  for (int id = 0; id < LNGS_ROWS; id++) {
    table[id].text[LNGS_RUSSIAN] = "Строка " + std::to_string(id);
    table[id].text[LNGS_ENGLISH] = "Text " + std::to_string(id);
  }
  for (const FixedRow& row : kFixedRows) {
    table[row.id].text[LNGS_RUSSIAN] = row.russian;
    table[row.id].text[LNGS_ENGLISH] = row.english;
  }
  return table;
}

const std::array<Row, LNGS_ROWS>& table() {
  static const std::array<Row, LNGS_ROWS> rows = buildTable();
  return rows;
}

std::atomic<int> g_language{LNGS_RUSSIAN};

}  // namespace

void LNGS_SetLanguage(int language) { g_language = language; }

int LNGS_GetLanguage() { return g_language; }

const char* LNGS(int id) {
  int language = g_language;
  if (id < 0 || id >= LNGS_ROWS || language < LNGS_RUSSIAN || language > LNGS_ENGLISH) return "?";
  const Row& row = table()[id];
  if (!row.text[language].empty()) return row.text[language].c_str();
  return row.text[LNGS_RUSSIAN].c_str();
}
