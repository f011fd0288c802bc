#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ftp/RFTPSSiteArgs.h"

using namespace vantor;

// The site argument: after the four-letter verb, blanks and tabs trimmed,
// at most 511 characters.
TEST(SiteArgs, SiteArgument) {
  EXPECT_EQ(SiteArgumentOf("SITE  \tzone \t"), "zone");
  EXPECT_EQ(SiteArgumentOf("SITE"), "");
  EXPECT_EQ(SiteArgumentOf("site exec a  b "), "exec a  b");
  EXPECT_EQ(SiteArgumentOf("SITE " + std::string(600, 'x')).size(), 511u);
}

// Sub-commands by their first letters, any case: a longer word that begins
// with one ("pswdx", "settle") is taken as that sub-command.
TEST(SiteArgs, SubCommand) {
  const std::map<std::string, RSiteSub> cases = {
      {"PSWD a b", RSiteSub::Pswd},     {"pswdx", RSiteSub::Pswd},
      {"Exec /bin/ls", RSiteSub::Exec}, {"SET TRANSFERPROGRESS ON", RSiteSub::Set},
      {"settle", RSiteSub::Set},        {"index *.txt", RSiteSub::Index},
      {"ZONE", RSiteSub::Zone},         {"zon", RSiteSub::Unknown},
      {"", RSiteSub::Unknown},          {"HELP", RSiteSub::Help},
      {"chmod 644 a", RSiteSub::Chmod}, {"chmo", RSiteSub::Unknown},
  };
  for (const auto& [arg, want] : cases) EXPECT_EQ(MatchSiteSub(arg), want) << arg;
}

// SITE CHMOD: octal permission bits only, the path taken as typed.
TEST(SiteArgs, ChmodArguments) {
  struct Case {
    const char* arg;
    bool ok;
    uint32_t mode;
    const char* path;
  };
  const Case cases[] = {
      {"CHMOD 644 a b.txt", true, 0644, "a b.txt"},
      {"chmod\t0755\t dir", true, 0755, "dir"},
      {"CHMOD 7 x", true, 07, "x"},
      {"CHMOD 4755 x", false, 0, ""},
      {"CHMOD 0777 x", true, 0777, "x"},
      {"CHMOD 01777 x", false, 0, ""},
      {"CHMOD 648 x", false, 0, ""},
      {"CHMOD 644", false, 0, ""},
      {"CHMOD 644 ", false, 0, ""},
      {"CHMOD", false, 0, ""},
      {"CHMODX 644 x", false, 0, ""},
      {"CHMOD 00644 x", false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    uint32_t mode = 1;
    std::string path = "?";
    EXPECT_EQ(ParseChmodArguments(c.arg, mode, path), c.ok);
    if (c.ok) {
      EXPECT_EQ(mode, c.mode);
      EXPECT_EQ(path, c.path);
    }
  }
}

// Both PSWD forms, the cut at 99 characters, and the failures.
TEST(SiteArgs, PswdForms) {
  struct Case {
    std::string arg;
    bool ok;
    std::string oldPw;
    std::string newPw;
  };
  const std::string longPw(150, 'p');
  const Case cases[] = {
      {"PSWD \"old\" \"newpw\"", true, "old", "newpw"},
      {"PSWD \"a b\" \"c d e\"", true, "a b", "c d e"},
      {"PSWD \"old\" \"abc\"", true, "old", "abc"},
      {"PSWD old new", true, "old", "new"},
      {"PSWD  old   new pw ", true, "old", "new pw"},
      {"PSWD \"o\" \"n\" \"x\"", true, "\"o\"", "\"n\" \"x\""},  // two separators: blank form
      {"PSWD \"\" \"new\"", true, "\"\"", "\"new\""},            // empty old: blank form
      {"PSWD \"" + longPw + "\" \"" + longPw + "\"", true, longPw.substr(0, 99),
       longPw.substr(0, 99)},
      {"PSWD onlyone", false, "", ""},
      {"PSWD", false, "", ""},
      {"PSWD \"old\"", false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    std::string o, n;
    EXPECT_EQ(ParsePswdArguments(c.arg, o, n), c.ok);
    if (c.ok) {
      EXPECT_EQ(o, c.oldPw);
      EXPECT_EQ(n, c.newPw);
    }
  }
}

// EXEC: program up to a blank or tab; the rest is split at blanks only and
// shell characters stay as typed.
TEST(SiteArgs, ExecArguments) {
  std::string program, rest;
  ASSERT_TRUE(ParseExecArguments("EXEC /bin/echo a;b $(id) | `x` > f", program, rest));
  EXPECT_EQ(program, "/bin/echo");
  EXPECT_EQ(rest, "a;b $(id) | `x` > f");
  EXPECT_EQ(SplitExecArguments(rest),
            (std::vector<std::string>{"a;b", "$(id)", "|", "`x`", ">", "f"}));
  ASSERT_TRUE(ParseExecArguments("exec\t prog\targ", program, rest));
  EXPECT_EQ(program, "prog");
  EXPECT_EQ(rest, "arg");
  EXPECT_FALSE(ParseExecArguments("EXEC", program, rest));
  EXPECT_FALSE(ParseExecArguments("EXEC  \t ", program, rest));
  EXPECT_EQ(SplitExecArguments("  a  b\tc "), (std::vector<std::string>{"a", "b\tc"}));
  EXPECT_TRUE(SplitExecArguments("").empty());
}

// SET: TRANSFERPROGRESS ON / OFF over the whole text, any case.
TEST(SiteArgs, SetArgument) {
  const std::map<std::string, int> cases = {
      {"SET TRANSFERPROGRESS ON", 1},
      {"set transferprogress on", 1},
      {"SET  TransferProgress Off ", 0},
      {"SET TRANSFERPROGRESS", -1},
      {"SET TRANSFERPROGRESS ONX", -1},
      {"SET TRANSFERPROGRESS  ON", -1},
      {"SET", -1},
      {"SET OTHER ON", -1},
  };
  for (const auto& [arg, want] : cases) EXPECT_EQ(ParseSetArgument(arg), want) << arg;
}

// INDEX: argument cut at 110 characters; the resolved path split at its last
// backslash, a bare drive keeping its backslash.
TEST(SiteArgs, IndexArgumentAndSplit) {
  EXPECT_EQ(IndexArgumentOf("INDEX  *.txt "), "*.txt");
  EXPECT_EQ(IndexArgumentOf("INDEX"), "");
  EXPECT_EQ(IndexArgumentOf("INDEX " + std::string(200, 'a')).size(), 110u);
  struct Case {
    std::string path;
    bool ok;
    std::string dir;
    std::string pattern;
  };
  const Case cases[] = {
      {"C:\\srv\\ftp\\*.txt", true, "C:\\srv\\ftp", "*.txt"},
      {"C:\\report", true, "C:\\", "report"},
      {"C:\\srv\\", true, "C:\\srv", ""},
      {"PRN:", false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string d, p;
    EXPECT_EQ(SplitIndexPath(c.path, d, p), c.ok);
    if (c.ok) {
      EXPECT_EQ(d, c.dir);
      EXPECT_EQ(p, c.pattern);
    }
  }
}

// A name matches by substring (any case) or by wildcard.
TEST(SiteArgs, IndexNameMatching) {
  struct Case {
    const char* name;
    const char* pattern;
    bool want;
  };
  const Case cases[] = {
      {"Report.TXT", "*.txt", true},
      {"report.txt", "PORT", true},
      {"a.c", "*.txt", false},
      {"abc", "", true},
      {"abc", "*.*", true},
      {"data.bin", "d?ta*", true},
      {"x", "xy", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IndexNameMatches(c.name, c.pattern), c.want)
        << std::string(c.name) + " / " + c.pattern;
}

// Breadth-first: all files of a directory before those of its
// subdirectories; "." and ".." are skipped; the directory bound stops a
// cycle.
TEST(SiteArgs, IndexSearchBreadthFirst) {
  const std::map<std::string, std::vector<RIndexEntryStr>> tree = {
      {"C:\\", {{".", true}, {"..", true}, {"b", true}, {"a.txt", false}, {"a", true}}},
      {"C:\\b", {{"deep", true}, {"b.txt", false}, {"b.bin", false}}},
      {"C:\\a", {{"c.txt", false}}},
      {"C:\\b\\deep", {{"d.txt", false}}},
  };
  auto lister = [&](const std::string& dir, std::vector<RIndexEntryStr>& out) {
    auto it = tree.find(dir);
    if (it != tree.end()) out = it->second;
  };
  std::vector<std::string> found;
  IndexSearch("C:\\", "txt", lister, [&](const std::string& p) { found.push_back(p); });
  EXPECT_EQ(found, (std::vector<std::string>{"C:\\a.txt", "C:\\b\\b.txt", "C:\\a\\c.txt",
                                             "C:\\b\\deep\\d.txt"}));

  // A directory that contains itself (a link loop) ends at the bound.
  size_t reads = 0;
  auto loop = [&](const std::string&, std::vector<RIndexEntryStr>& out) {
    ++reads;
    out = {{"self", true}, {"f", false}};
  };
  found.clear();
  IndexSearch(
      "C:\\x", "f", loop, [&](const std::string& p) { found.push_back(p); }, 50);
  EXPECT_EQ(reads, 50u);
  EXPECT_EQ(found.size(), 50u);
}
