#include "mcp_server/stdio_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "mcp_server/mcp_server.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

constexpr std::size_t maxLine = LineFramer::maxLineBytes;
using Events = std::vector<std::string>;

// What the framer reported, in order: a line's bytes, or "<oversized>".
Events frame(const std::vector<std::string>& chunks, LineFramer& framer) {
    Events events;
    for (const std::string& chunk : chunks) {
        framer.feed(chunk, [&](std::string_view line) { events.emplace_back(line); }, [&] { events.emplace_back("<oversized>"); });
    }
    return events;
}

Events frame(const std::vector<std::string>& chunks) {
    LineFramer framer;
    return frame(chunks, framer);
}

// The whole-process tests cover ordinary framing; these are the bytes and
// sizes a process test cannot show.
TEST(LineFramer, KeepsEveryByteOfALineButTheLineFeed) {
    EXPECT_EQ(frame({std::string("a\0b\n", 4)}), Events{std::string("a\0b", 3)});
    EXPECT_EQ(frame({" \n", "\r\n", "a\r\n"}), (Events{" ", "\r", "a\r"}));
    EXPECT_EQ(frame({"a", "", "\n"}), Events{"a"});
}

TEST(LineFramer, AnOversizedLineIsReportedOnceAtItsLineFeedWithoutBeingHeld) {
    std::string over(maxLine + 1, 'y');
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < over.size(); i += 8192) pieces.push_back(over.substr(i, 8192));
    pieces.push_back("\nnext\n");
    EXPECT_EQ(frame(pieces), (Events{"<oversized>", "next"}));
    LineFramer framer;
    std::string big(3 * maxLine, 'z');
    EXPECT_TRUE(frame({big, big}, framer).empty());
    EXPECT_EQ(framer.pendingBytes(), 0u);
    EXPECT_EQ(frame({"\n\n"}, framer), Events{"<oversized>"});
}

TEST(LineFramer, AThrowingHandlerLeavesTheNextLineIntact) {
    LineFramer framer;
    EXPECT_THROW(framer.feed("one\n", [](std::string_view) { throw std::runtime_error("write failed"); }, [] {}), std::runtime_error);
    EXPECT_EQ(frame({"two\n"}, framer), Events{"two"});
}

TEST(ServeStdio, AnUnreadableInputEndsWithStatusOne) {
    testing::TempDir folder;
    Library library(folder / "AgentLibrary", folder / "cache");
    MCPServer server(library);
    int writeOnly = ::open("/dev/null", O_WRONLY);
    int output = ::open("/dev/null", O_WRONLY);
    EXPECT_EQ(serveStdio(server, writeOnly, output), 1);
    ::close(writeOnly);
    ::close(output);
}

}  // namespace
}  // namespace quillmere::mcp
