#include "platform/profile_file.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/test_support.h"

namespace dirsync {
namespace {

ProfileFile Parsed(std::string_view text) {
  ProfileFile p;
  p.Parse(text);
  return p;
}

TEST(ProfileFileTest, SectionAndKeyNamesIgnoreAsciiCase) {
  ProfileFile p = Parsed("[Task-1]\nNAME = docs\n[db]\nport=4000\n");
  EXPECT_EQ(p.GetString("task-1", "name", "", 258), "docs");
  EXPECT_EQ(p.GetString("TASK-1", "Name", "", 258), "docs");
  EXPECT_EQ(p.GetInt("DB", "PORT", 333), 4000);
  // Only ASCII letters fold: no match for another section.
  EXPECT_EQ(p.GetString("task-2", "name", "none", 258), "none");
}

TEST(ProfileFileTest, ValuesAreTrimmedAndLoseOnePairOfQuotes) {
  ProfileFile p = Parsed(
      "[s]\n"
      "  plain   =   my docs \t \n"
      "double = \"  spaced  \"\n"
      "single = 'x'\n"
      "mixed = \"abc'\n"
      "lone = \"\n"
      "nested = \"\"x\"\"\n"
      "empty = \"\"\n"
      "inner = a \"b\" c\n");
  EXPECT_EQ(p.GetString("s", "plain", "", 258), "my docs");
  EXPECT_EQ(p.GetString("s", "double", "", 258), "  spaced  ");
  EXPECT_EQ(p.GetString("s", "single", "", 258), "x");
  EXPECT_EQ(p.GetString("s", "mixed", "", 258), "\"abc'");
  EXPECT_EQ(p.GetString("s", "lone", "", 258), "\"");
  EXPECT_EQ(p.GetString("s", "nested", "", 258), "\"x\"");
  EXPECT_EQ(p.GetString("s", "empty", "dflt", 258), "");
  EXPECT_EQ(p.GetString("s", "inner", "", 258), "a \"b\" c");
}

TEST(ProfileFileTest, SemicolonStartsACommentOnlyAtTheLineStart) {
  ProfileFile p = Parsed(
      "; leading comment\n"
      "[task-1]\n"
      "; name = commented\n"
      "   ;path = commented too\n"
      "exclude = tmp;build\\out ; not a comment\n");
  EXPECT_EQ(p.GetString("task-1", "name", "", 258), "");
  EXPECT_EQ(p.GetString("task-1", "path", "", 258), "");
  EXPECT_EQ(p.GetString("task-1", "exclude", "", 4094),
            "tmp;build\\out ; not a comment");
  EXPECT_TRUE(p.Problems().empty());
}

TEST(ProfileFileTest, LongValuesAreCutToTheLimit) {
  const std::string longName(300, 'n');
  const std::string longText(5000, 't');
  const std::string exact(258, 'e');
  ProfileFile p = Parsed("[s]\nname=" + longName + "\nexclude=" + longText +
                         "\nexact=" + exact + "\nquoted=\"" + longName +
                         "\"\n");
  bool cut = false;
  EXPECT_EQ(p.GetString("s", "name", "", 258, &cut), std::string(258, 'n'));
  EXPECT_TRUE(cut);
  EXPECT_EQ(p.GetString("s", "exclude", "", 4094, &cut),
            std::string(4094, 't'));
  EXPECT_TRUE(cut);
  EXPECT_EQ(p.GetString("s", "exact", "", 258, &cut), exact);
  EXPECT_FALSE(cut);
  // The quotes go first, then the cut.
  EXPECT_EQ(p.GetString("s", "quoted", "", 258), std::string(258, 'n'));
  // A default is cut the same way.
  EXPECT_EQ(p.GetString("s", "missing", "abcdef", 3, &cut), "abc");
  EXPECT_TRUE(cut);
}

TEST(ProfileFileTest, IntegersAreSigned32BitDecimal) {
  ProfileFile p = Parsed(
      "[n]\n"
      "neg = -1\n"
      "pos = +42\n"
      "trail = 12ab\n"
      "word = abc\n"
      "hex = 0x10\n"
      "empty =\n"
      "max = 2147483647\n"
      "min = -2147483648\n"
      "over = 2147483648\n"
      "wrap = 4294967295\n"
      "spaced = \"  7 \"\n"
      "signonly = -\n"
      // 29 zeros then 5: the integer text buffer holds 29 characters.
      "long = 000000000000000000000000000005\n");
  EXPECT_EQ(p.GetInt("n", "neg", 5), -1);
  EXPECT_EQ(p.GetInt("n", "pos", 5), 42);
  EXPECT_EQ(p.GetInt("n", "trail", 5), 12);
  EXPECT_EQ(p.GetInt("n", "word", 5), 0);
  EXPECT_EQ(p.GetInt("n", "hex", 5), 0);
  EXPECT_EQ(p.GetInt("n", "empty", 5), 5);
  EXPECT_EQ(p.GetInt("n", "missing", 10000), 10000);
  EXPECT_EQ(p.GetInt("n", "max", 5), INT32_MAX);
  EXPECT_EQ(p.GetInt("n", "min", 5), INT32_MIN);
  EXPECT_EQ(p.GetInt("n", "over", 5), INT32_MIN);
  EXPECT_EQ(p.GetInt("n", "wrap", 5), -1);
  EXPECT_EQ(p.GetInt("n", "spaced", 5), 7);
  EXPECT_EQ(p.GetInt("n", "signonly", 5), 0);
  EXPECT_EQ(p.GetInt("n", "long", 5), 0);
  EXPECT_EQ(p.GetInt("missing-section", "neg", -7), -7);
}

TEST(ProfileFileTest, FirstSectionAndFirstKeyOfANameCount) {
  ProfileFile p = Parsed(
      "[a]\nk = first\nK = second\n"
      "[A]\nk = other section\nonly = later\n");
  EXPECT_EQ(p.GetString("a", "k", "", 258), "first");
  EXPECT_EQ(p.GetString("a", "only", "none", 258), "none");
  EXPECT_EQ(p.KeysOf("a"), (std::vector<std::string>{"k", "K"}));
}

TEST(ProfileFileTest, BrokenLinesAreReportedAndLeakNothing) {
  ProfileFile p = Parsed(
      "orphan = before any section\n"  // 1
      "[task-1]\n"                     // 2
      "name = a\n"                     // 3
      "[task-2\n"                      // 4: no ']'
      "name = b\n"                     // 5: belongs to no section
      "just words\n"                   // 6
      " = no key\n"                    // 7
      "[task-3] trailing text\n"       // 8
      "name = c\n");                   // 9
  EXPECT_EQ(p.GetString("task-1", "name", "", 258), "a");
  EXPECT_EQ(p.KeysOf("task-1"), (std::vector<std::string>{"name"}));
  EXPECT_EQ(p.GetString("task-2", "name", "", 258), "");
  EXPECT_EQ(p.GetString("task-3", "name", "", 258), "c");
  std::vector<int> lines;
  for (const ProfileProblem& problem : p.Problems()) {
    lines.push_back(problem.line);
    EXPECT_FALSE(problem.reason.empty());
  }
  EXPECT_EQ(lines, (std::vector<int>{1, 4, 5, 6, 7}));
}

TEST(ProfileFileTest, WindowsLineEndsByteOrderMarkAndNulBytes) {
  static constexpr char kText[] =
      "\xEF\xBB\xBF[s]\r\nk = v\r\nnul = ab\0cd\r\n";
  ProfileFile p = Parsed(std::string_view(kText, sizeof kText - 1));
  EXPECT_EQ(p.GetString("s", "k", "", 258), "v");
  EXPECT_EQ(p.GetString("s", "nul", "", 258), "ab");
  EXPECT_TRUE(p.Problems().empty());
}

TEST(ProfileFileTest, LoadsFilesAndTreatsAMissingFileAsEmpty) {
  testing::TempDir dir;
  ProfileFile p;
  EXPECT_TRUE(p.Load(dir.path() + "absent.ini").IsNotFound());
  EXPECT_EQ(p.GetInt("DB", "PORT", 333), 333);

  EXPECT_TRUE(p.Load(dir.Write("x.ini", "[DB]\nPORT = 4000\n")).ok());
  EXPECT_EQ(p.GetInt("DB", "PORT", 333), 4000);
  // Loading again replaces the earlier contents.
  EXPECT_TRUE(p.Load(dir.path() + "absent.ini").IsNotFound());
  EXPECT_EQ(p.GetInt("DB", "PORT", 333), 333);
  // A directory cannot be read as a file; an empty file can.
  EXPECT_FALSE(p.Load(dir.MakeDir("folder.ini")).ok());
  EXPECT_TRUE(p.Load(dir.Write("empty.ini", "")).ok());
}

TEST(ProfileFileTest, ParseProfileIntReadsUpToTheFirstNonDigit) {
  EXPECT_EQ(ParseProfileInt(""), 0);
  EXPECT_EQ(ParseProfileInt("  -12x3"), -12);
  EXPECT_EQ(ParseProfileInt("--1"), 0);
  EXPECT_EQ(ParseProfileInt("-4294967296"), 0);
}

}  // namespace
}  // namespace dirsync
