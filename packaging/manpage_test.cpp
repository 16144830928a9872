// The manual's KEY MAP table read back from the roff source and compared
// cell by cell with keytable, so the page and the program cannot drift; and
// every line the page displays (commands, example output) rendered by groff
// and compared with what a user types or sees; keybytes-trace's examples
// compared with its output; the README's too.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
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

// The lines of the page's displays (.nf to .fi), exactly as they must read on
// screen, in page order. A roff escape that prints something else (\e prints
// a backslash, so '\e[<u' shows as '\[<u') makes the rendered line differ.
const char* const displayed[] = {
    R"(stty sane)",
    R"(printf '\e[<u')",
    R"(printf '\e[?9001l')",
    R"(printf '\e[?1l\e>')",
    R"(printf '\e[>4;0m')",
    R"(printf '\e[<u' > /dev/pts/3)",
    R"($ keybytes)",
    R"(cygwin/gnu key banger. Shows emitted characters for a keypress)",
    R"(Press a key. Quit with q, Q or ctrl-c.)",
    R"(a)",
    R"([0x1b][A)",
    R"([0x1b][15;2~)",
    R"([0x0d]q)",
    R"([0x1b]x[0x03])",
    R"([0x1b]q)",
};

TEST(ManPage, DisplayedLinesRenderAsTyped) {
  if (!*GROFF) GTEST_SKIP() << "no groff to render the page with";
  // Source lines inside displays, requests and comments aside: the table
  // must list every one, so a new command cannot go unchecked.
  std::ifstream src(MANPAGE);
  size_t shown = 0;
  bool in = false;
  for (std::string line; std::getline(src, line);) {
    if (line == ".nf" || line == ".fi")
      in = line == ".nf";
    else if (in && line.rfind(".", 0) != 0)
      ++shown;
  }
  EXPECT_EQ(shown, std::size(displayed)) << "display lines in the page vs. the table";

  // Rendered as man renders it for a UTF-8 terminal, without bold or
  // underline, each line trimmed.
  std::string cmd = std::string(GROFF) + " -t -man -Tutf8 -P-cbou " + MANPAGE;
  FILE* out = popen(cmd.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::vector<std::string> lines;
  for (char buf[512]; std::fgets(buf, sizeof buf, out);) {
    std::string l = buf;
    l.erase(l.find_last_not_of(" \n") + 1);
    lines.push_back(l.erase(0, l.find_first_not_of(' ')));
  }
  ASSERT_EQ(pclose(out), 0) << cmd;

  auto at = lines.begin();
  for (const char* want : displayed) {
    auto found = std::find(at, lines.end(), want);
    if (found == lines.end())
      ADD_FAILURE() << "the page does not show, on a line of its own and in order: " << want;
    else
      at = found + 1;
  }
}

// A command's output lines, without their line ends.
std::vector<std::string> output(const std::string& cmd) {
  std::vector<std::string> out;
  FILE* p = popen(cmd.c_str(), "r");
  for (char buf[512]; p && std::fgets(buf, sizeof buf, p);) {
    std::string l = buf;
    out.push_back(l.erase(l.find_last_not_of('\n') + 1));
  }
  EXPECT_EQ(p ? pclose(p) : -1, 0) << cmd;
  return out;
}

std::string trim(std::string l) {
  l.erase(l.find_last_not_of(' ') + 1);
  return l.erase(0, l.find_first_not_of(' '));
}

std::vector<std::string> trimmed(std::vector<std::string> lines) {
  for (std::string& l : lines) l = trim(l);
  return lines;
}

// keybytes-trace's page shows the program's own lines for the bytes its
// examples name.
TEST(ManPage, TraceExamplesAreTheProgramsOutput) {
  if (!*GROFF) GTEST_SKIP() << "no groff to render the page with";
  std::vector<std::string> page =
      trimmed(output(std::string(GROFF) + " -man -Tutf8 -P-cbou " + TRACEPAGE));
  const char* const examples[] = {
      R"(printf '\e[15;2~' | )" TRACE,
      R"(printf '\e[57441;2u\e[15;2~\e[15;2:3~\e[57441;1:3u' | )" TRACE " --input=kitty",
  };
  for (const char* cmd : examples) {
    std::vector<std::string> want = trimmed(output(cmd));
    ASSERT_GT(want.size(), 2u) << cmd;
    auto at = std::search(page.begin(), page.end(), want.begin(), want.end());
    EXPECT_NE(at, page.end()) << "the page does not show the lines of: " << cmd;
  }
}

// The README's keybytes-trace examples name the program its first command
// builds, and show that program's lines for them, cut before the hex column.
TEST(Readme, TraceExamplesAreTheProgramsOutput) {
  std::ifstream in(README);
  std::vector<std::string> doc;
  for (std::string l; std::getline(in, l);) doc.push_back(l);
  const std::string first = "cmake --workflow --preset tool && ";
  std::string prog;
  for (const std::string& l : doc)
    if (l.rfind(first, 0) == 0 && l.size() > first.size() + 12 &&
        l.compare(l.size() - 12, 12, "app/keybytes") == 0)
      prog = l.substr(first.size(), l.size() - first.size() - 12) + "trace/keybytes-trace";
  ASSERT_FALSE(prog.empty()) << "no first command '" << first << "TREE/app/keybytes'";

  int examples = 0;
  for (size_t i = 0; i < doc.size(); ++i) {
    if (doc[i].rfind("$ ", 0) != 0 || doc[i].find("keybytes-trace") == std::string::npos)
      continue;
    ++examples;
    std::string cmd = doc[i].substr(2);
    size_t at = cmd.find(prog);
    if (at == std::string::npos) {
      ADD_FAILURE() << "not the program the first command builds (" << prog << "): " << cmd;
      continue;
    }
    std::vector<std::string> got = output(cmd.replace(at, prog.size(), TRACE));
    size_t hex = got.size() > 1 ? got[1].rfind(" hex") : std::string::npos;
    ASSERT_NE(hex, std::string::npos) << "no hex column in: " << cmd;
    for (std::string& l : got) l = trim(l.substr(0, hex));
    std::vector<std::string> want;
    for (size_t j = i + 1; j < doc.size() && doc[j] != "```" && doc[j].rfind("$ ", 0) != 0; ++j)
      want.push_back(trim(doc[j]));
    EXPECT_EQ(got, want) << doc[i];
  }
  EXPECT_EQ(examples, 2) << "keybytes-trace examples in " << README;
}

}  // namespace
