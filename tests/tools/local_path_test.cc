#include <gtest/gtest.h>

#include "local_path.h"
#include "options.h"

namespace dsclient_tool {
namespace {

TEST(LocalPathTest, CatalogPathsBecomeRelativeLinuxPaths) {
  std::string local, why;
  EXPECT_TRUE(ToLocalRelative("a\\b c\\d.txt", &local, &why));
  EXPECT_EQ(local, "a/b c/d.txt");
  EXPECT_TRUE(ToLocalRelative("x..y\\.hidden\\...", &local, &why));
  EXPECT_EQ(local, "x..y/.hidden/...");
  EXPECT_TRUE(ToLocalRelative("sub\\.dirsync", &local, &why));  // only at the top
  EXPECT_FALSE(ToLocalRelative("a\\", &local, &why));
  EXPECT_FALSE(ToLocalRelative("..", &local, &why));
  EXPECT_EQ(ParentOf("a/b/c"), "a/b");
  EXPECT_EQ(ParentOf("c"), "");
}

TEST(OptionsTest, ParsesTheCommandLine) {
  Options o;
  std::string error;
  ASSERT_TRUE(ParseOptions({"mirror", "--host", "h", "--port=99", "--task", "t", "--user",
                            "u", "--token-file", "f", "--zip", "--follow",
                            "--interval-ms", "20", "dir"},
                           &o, &error))
      << error;
  EXPECT_EQ(o.host, "h");
  EXPECT_EQ(o.port, 99);
  EXPECT_TRUE(o.zip && o.follow);
  EXPECT_EQ(o.intervalMs, 20);
  EXPECT_EQ(o.operands, std::vector<std::string>{"dir"});

  const std::vector<std::vector<std::string>> bad = {
      {},
      {"mirror", "--task", "t", "--user", "u", "--token-file", "f"},         // no DIR
      {"ls", "--task", "t", "--user", "u"},                                  // no token
      {"ls", "--task", "t", "--user", "u", "--token-file", "f", "--port", "0"},
      {"ls", "--task", "t", "--user", "u", "--token-file", "f", "--bogus"},
      {"get", "--task", "t", "--user", "u", "--token-file", "f", "p"},       // no --out
      {"push", "--task", "t", "--user", "u", "--token-file", "f"},
      {"ls", "--task", "t", "--user", "u", "--token-file"},
  };
  for (const auto& args : bad) {
    error.clear();
    EXPECT_FALSE(ParseOptions(args, &o, &error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(ParseOptions({"ls", "--help"}, &o, &error));
  EXPECT_TRUE(o.help);
}

TEST(LocalPathTest, LinksThatLeaveTheTreeAreToldByTheirText) {
  EXPECT_TRUE(LinkLeavesTree("a", "/etc/passwd"));
  EXPECT_TRUE(LinkLeavesTree("a", ""));
  EXPECT_TRUE(LinkLeavesTree("a", ".."));
  EXPECT_TRUE(LinkLeavesTree("d/a", "../../x"));
  EXPECT_TRUE(LinkLeavesTree("d/a", "x/../../../y"));
  EXPECT_FALSE(LinkLeavesTree("d/a", "../x"));
  EXPECT_FALSE(LinkLeavesTree("d/e/a", "../../x"));
  EXPECT_FALSE(LinkLeavesTree("a", "x/y/../z"));
  EXPECT_FALSE(LinkLeavesTree("a", "./x//y/"));
  EXPECT_FALSE(LinkLeavesTree("a", "no/such/place"));
}

TEST(OptionsTest, TlsOptionsNeedTlsAndCertificateAndKeyGoTogether) {
  Options o;
  std::string error;
  const std::vector<std::string> login = {"ls", "--task", "t", "--user", "u",
                                          "--token-file", "f"};
  auto with = [&login](std::vector<std::string> extra) {
    std::vector<std::string> args = login;
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  ASSERT_TRUE(ParseOptions(with({"--tls", "--ca", "ca.pem", "--cert=c.pem", "--key", "k.pem"}),
                           &o, &error))
      << error;
  EXPECT_TRUE(o.tls);
  EXPECT_EQ(o.caFile, "ca.pem");
  EXPECT_EQ(o.certFile, "c.pem");
  EXPECT_EQ(o.keyFile, "k.pem");
  ASSERT_TRUE(ParseOptions(with({"--tls"}), &o, &error)) << error;
  EXPECT_TRUE(o.caFile.empty());  // the system's store

  const std::vector<std::vector<std::string>> bad = {
      with({"--ca", "ca.pem"}),                    // without --tls
      with({"--tls", "--cert", "c.pem"}),          // no key
      with({"--tls", "--key", "k.pem"}),           // no certificate
      with({"--tls=yes"}),
  };
  for (const auto& args : bad) {
    error.clear();
    EXPECT_FALSE(ParseOptions(args, &o, &error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace dsclient_tool
