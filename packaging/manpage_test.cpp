// The manual's KEY MAP table read back from the roff source and compared
// cell by cell with keytable, so the page and the program cannot drift.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "keys/keytable.h"

namespace {

using row = std::vector<std::string>;

row split(const std::string& line) {
  row cells;
  std::stringstream in(line);
  for (std::string cell; std::getline(in, cell, '\t');) cells.push_back(cell);
  return cells;
}

// Undo the roff escapes the table uses and spell ESC as the byte it stands for.
std::string unroff(std::string s) {
  for (size_t at; (at = s.find("\\-")) != std::string::npos;) s.replace(at, 2, "-");
  for (size_t at; (at = s.find("ESC")) != std::string::npos;) s.replace(at, 3, "\033");
  return s;
}

// The rows of the first table after the KEY MAP heading, header first:
// format lines (up to the one ending in ".") and rules ("_") are skipped.
std::vector<row> keymap(const char* path) {
  std::ifstream in(path);
  std::vector<row> rows;
  enum { before, heading, format, data } at = before;
  for (std::string line; std::getline(in, line);) {
    if (at == before && line == ".SH \"KEY MAP\"")
      at = heading;
    else if (at == heading && line == ".TS")
      at = format;
    else if (at == format && !line.empty() && line.back() == '.')
      at = data;
    else if (at == data && line == ".TE")
      break;
    else if (at == data && line != "_")
      rows.push_back(split(line));
  }
  return rows;
}

TEST(ManPage, KeyMapHasTheTableColumnsAndOneRowPerKey) {
  std::vector<row> rows = keymap(MANPAGE);
  ASSERT_FALSE(rows.empty()) << "no table under KEY MAP in " << MANPAGE;
  const row header = {"Key", "Code", "none", "Shift", "Ctrl", "Alt", "Ctrl+Shift"};
  EXPECT_EQ(rows[0], header);
  EXPECT_EQ(rows.size(), size_t(NKEYS) + 1) << "header plus one row per key";
}

TEST(ManPage, KeyMapRowsMatchKeytableInOrder) {
  std::vector<row> rows = keymap(MANPAGE);
  ASSERT_EQ(rows.size(), size_t(NKEYS) + 1);
  for (int i = 0; i < NKEYS; ++i) {
    const row& r = rows[i + 1];
    ASSERT_EQ(r.size(), size_t(2 + NCOLS)) << "page row " << i + 1 << " (" << r[0] << ")";
    char* end = nullptr;
    long code = std::strtol(r[1].c_str(), &end, 16);
    EXPECT_TRUE(r[1].rfind("0x", 0) == 0 && *end == '\0') << r[0] << ": code " << r[1];
    EXPECT_EQ(code, keytable[i].vk)
        << r[0] << ": page row " << i + 1 << " is not table row " << i + 1;
    for (int c = 0; c < NCOLS; ++c)
      EXPECT_EQ(unroff(r[2 + c]), keytable[i].val[c]) << r[0] << ", column " << rows[0][2 + c];
  }
}

}  // namespace
