// The tools' command lines through getopt_long: natively with glibc's and
// under Wine with mingw's, which must agree (options among the operands,
// a second parse in the same process starting afresh).
#include "tools/cli/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tools/cli/proxy_options.h"

namespace qm::cli {
namespace {

constexpr int kName = 0x300;

struct Case {
  std::vector<std::string> args;
  std::vector<std::pair<int, std::string>> options;
  std::vector<std::string> operands;
  bool help;
  std::string error;
};

TEST(CommandLineTest, OptionsAmongOperandsAndEachBadCommandLineNamed) {
  const Case cases[] = {
      {{"a", "-i", "b", "--name", "n", "-xhost:81", "c"},
       {{'i', ""}, {kName, "n"}, {'x', "host:81"}},
       {"a", "b", "c"},
       false,
       ""},
      {{"--name=v", "-x", "p", "-x", "q"}, {{kName, "v"}, {'x', "p"}, {'x', "q"}}, {}, false, ""},
      {{"--", "-i"}, {}, {"-i"}, false, ""},
      {{"-"}, {}, {"-"}, false, ""},
      {{"a", "--help"}, {}, {"a"}, true, ""},
      {{"-h"}, {}, {}, true, ""},
      {{"a", "-x"}, {}, {}, false, "-x needs a value"},
      {{"--name"}, {}, {}, false, "--name needs a value"},
      {{"-q"}, {}, {}, false, "unknown option -q"},
      {{"-iq"}, {}, {}, false, "unknown option -q"},
      {{"--bogus", "a"}, {}, {}, false, "unknown option --bogus"},
  };
  // Twice over: a second parse in the same process must not inherit the
  // first one's position.
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      std::string joined;
      for (const std::string& arg : c.args) {
        joined += arg + " ";
      }
      SCOPED_TRACE(joined);
      const CommandLine line =
          ParseCommandLine(c.args, "ix:", {{"name", required_argument, nullptr, kName}});
      EXPECT_EQ(line.error, c.error);
      EXPECT_EQ(line.help, c.help);
      if (c.error.empty()) {
        EXPECT_EQ(line.options, c.options);
        EXPECT_EQ(line.operands, c.operands);
      }
    }
  }
}

TEST(CommandLineTest, ProxyOptions) {
  const CommandLine line =
      ParseCommandLine({"-x", "proxy.lan", "--proxy-port", "3128", "-U", "user:pa:ss", "http://x/"},
                       kProxyShortOptions, ProxyLongOptions());
  ASSERT_EQ(line.error, "");
  ProxyOptions proxy;
  for (const auto& [id, value] : line.options) {
    std::string error;
    EXPECT_TRUE(TakeProxyOption(id, value, &proxy, &error));
    EXPECT_EQ(error, "");
  }
  EXPECT_EQ(proxy.proxy, "proxy.lan");
  EXPECT_EQ(proxy.port, "3128");
  EXPECT_EQ(proxy.user, "user");
  EXPECT_EQ(proxy.password, "pa:ss");

  struct Bad {
    int id;
    const char* value;
    const char* error;
  };
  const Bad bad[] = {{kProxyPortOption, "", "bad proxy port: "},
                     {kProxyPortOption, "80a", "bad proxy port: 80a"},
                     {'U', "nocolon", "-U needs USER:PASSWORD"},
                     {'U', ":secret", "-U needs USER:PASSWORD"}};
  for (const Bad& b : bad) {
    std::string error;
    EXPECT_TRUE(TakeProxyOption(b.id, b.value, &proxy, &error));
    EXPECT_EQ(error, b.error);
  }
  std::string error;
  EXPECT_FALSE(TakeProxyOption('i', "", &proxy, &error));
}

}  // namespace
}  // namespace qm::cli
