#include "mcp_server/command_line.h"

#include <gtest/gtest.h>

namespace quillmere::mcp {
namespace {

using Arguments = std::vector<std::string>;

TEST(CommandLineArgument, TakesTheArgumentAfterTheFirstOccurrence) {
    struct Row {
        Arguments arguments;
        std::optional<std::string> value;
    };
    for (const Row& row : std::vector<Row>{
             {{"--stdio", "--cloud-root", "/a"}, "/a"},
             {{"--cloud-root", "/a", "--cloud-root", "/b"}, "/a"},
             {{"--cloud-root", "--cloud-root", "/b"}, "--cloud-root"},
             {{"--cloud-root", "--status"}, "--status"},
             {{"--cloud-root", ""}, ""},
             {{"--stdio", "--cloud-root"}, std::nullopt},
             {{"--cloud-root=/a"}, std::nullopt},
             {{"--Cloud-Root", "/a"}, std::nullopt},
             {{}, std::nullopt},
         }) {
        EXPECT_EQ(CommandLine(row.arguments).argument("--cloud-root"), row.value)
            << ::testing::PrintToString(row.arguments);
    }
}

TEST(CommandLineFlag, MatchesWholeArgumentsAnywhereEvenAsAValue) {
    EXPECT_TRUE(CommandLine({"--cloud-root", "--help"}).flag("--help"));
    EXPECT_TRUE(CommandLine({"x", "y", "--status"}).flag("--status"));
    EXPECT_FALSE(CommandLine({"--help=1", "-help", "--HELP", "help"}).flag("--help"));
    EXPECT_FALSE(CommandLine(Arguments{}).flag("--help"));
}

TEST(CommandLine, DropsTheProgramPath) {
    const char* argv[] = {"/usr/bin/quillmere-mcp", "--stdio", "--cloud-root", "/a"};
    EXPECT_EQ(CommandLine(4, argv).arguments(), (Arguments{"--stdio", "--cloud-root", "/a"}));
}

}  // namespace
}  // namespace quillmere::mcp
