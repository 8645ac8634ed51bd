#include "mcp_server/stdio_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include "mcp_server/mcp_server.h"
#include "tests/support/temp_dir.h"

namespace quillmere::mcp {
namespace {

constexpr std::size_t maxLine = LineFramer::maxLineBytes;

// What the framer reported, in order: a line's bytes, or "<oversized>".
std::vector<std::string> frame(const std::vector<std::string>& chunks, LineFramer& framer) {
    std::vector<std::string> events;
    for (const std::string& chunk : chunks) {
        framer.feed(
            chunk, [&](std::string_view line) { events.emplace_back(line); },
            [&] { events.emplace_back("<oversized>"); });
    }
    return events;
}

std::vector<std::string> frame(const std::vector<std::string>& chunks) {
    LineFramer framer;
    return frame(chunks, framer);
}

using Events = std::vector<std::string>;

TEST(LineFramer, SplitsLinesAcrossAndWithinChunks) {
    struct Row {
        std::vector<std::string> chunks;
        Events events;
    };
    for (const Row& row : std::vector<Row>{
             {{"a\nb\nc\n"}, {"a", "b", "c"}},
             {{"ab", "c\nd", "e\n"}, {"abc", "de"}},
             {{"\n\n", "x\n", "\n"}, {"x"}},
             {{" \n", "\r\n", "a\r\n"}, {" ", "\r", "a\r"}},
             {{"a\n", "unfinished"}, {"a"}},
             {{std::string("a\0b\n", 4)}, {std::string("a\0b", 3)}},
             {{"a", "", "\n"}, {"a"}},
         }) {
        EXPECT_EQ(frame(row.chunks), row.events) << ::testing::PrintToString(row.chunks);
    }
}

TEST(LineFramer, LinesUpToTheLimitPassAndLongerOnesAreReportedOnceAtTheirLineFeed) {
    std::string full(maxLine, 'x');
    std::string over(maxLine + 1, 'y');
    EXPECT_EQ(frame({full + "\n"}), Events{full});
    EXPECT_EQ(frame({over + "\n", "next\n"}), (Events{"<oversized>", "next"}));
    // The same, arriving in small pieces.
    std::vector<std::string> pieces;
    for (std::size_t i = 0; i < over.size(); i += 8192) pieces.push_back(over.substr(i, 8192));
    pieces.push_back("\nnext\n");
    EXPECT_EQ(frame(pieces), (Events{"<oversized>", "next"}));
    // Far over the limit is still one report, and nothing is held meanwhile.
    LineFramer framer;
    std::string big(3 * maxLine, 'z');
    EXPECT_TRUE(frame({big, big}, framer).empty());
    EXPECT_EQ(framer.pendingBytes(), 0u);
    EXPECT_EQ(frame({"\n\n"}, framer), Events{"<oversized>"});
}

TEST(LineFramer, AThrowingHandlerLeavesTheNextLineIntact) {
    LineFramer framer;
    bool first = true;
    auto onLine = [&](std::string_view) {
        if (first) {
            first = false;
            throw std::runtime_error("write failed");
        }
    };
    EXPECT_THROW(framer.feed("one\n", onLine, [] {}), std::runtime_error);
    std::vector<std::string> seen;
    framer.feed(
        "two\n", [&](std::string_view line) { seen.emplace_back(line); }, [] {});
    EXPECT_EQ(seen, Events{"two"});
}

// serveStdio over real pipes: input written by the test, output read back.
class ServeStdio : public ::testing::Test {
  protected:
    ServeStdio() { std::signal(SIGPIPE, SIG_IGN); }

    std::pair<int, std::string> serve(const std::string& input) {
        int in[2], out[2];
        EXPECT_EQ(::pipe(in), 0);
        EXPECT_EQ(::pipe(out), 0);
        std::thread writer([&] {
            std::string_view rest = input;
            while (!rest.empty()) {
                ssize_t n = ::write(in[1], rest.data(), rest.size());
                if (n <= 0) break;
                rest.remove_prefix(n);
            }
            ::close(in[1]);
        });
        std::string output;
        std::thread reader([&] {
            char chunk[65536];
            for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) output.append(chunk, n);
        });
        int status = serveStdio(server_, in[0], out[1]);
        ::close(out[1]);
        writer.join();
        reader.join();
        ::close(in[0]);
        ::close(out[0]);
        return {status, output};
    }

    testing::TempDir folder_;
    Library library_{folder_ / "AgentLibrary", folder_ / "cache"};
    MCPServer server_{library_};
};

TEST_F(ServeStdio, AnswersEachRequestLineInOrderAndEndsAtEndOfInput) {
    auto [status, output] = serve(
        "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n"
        "\n"
        "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":\"a/b\",\"method\":\"tools/list\"}\n"
        "{\"jsonrpc\":\"2.0\",\"id\":3,\"method\":\"ping\"}");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(output,
              "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n"
              "{\"error\":{\"code\":-32000,\"message\":\"Initialize first\"},\"id\":\"a\\/b\","
              "\"jsonrpc\":\"2.0\"}\n");
}

TEST_F(ServeStdio, AnOversizedLineGetsOneSizeErrorWithNullId) {
    std::string ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    std::string exact = ping + std::string(maxLine - ping.size(), ' ');
    auto [status, output] = serve(exact + "\n" + exact + " \n" + ping + "\n");
    EXPECT_EQ(status, 0);
    std::string pong = "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{}}\n";
    EXPECT_EQ(output, pong +
                          "{\"error\":{\"code\":-32600,\"message\":\"Request exceeds 1 MiB\"},"
                          "\"id\":null,\"jsonrpc\":\"2.0\"}\n" +
                          pong);
}

TEST_F(ServeStdio, AnUnreadableInputEndsWithStatusOne) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    int writeOnly = ::open("/dev/null", O_WRONLY);
    EXPECT_EQ(serveStdio(server_, writeOnly, out[1]), 1);
    ::close(writeOnly);
    ::close(out[0]);
    ::close(out[1]);
}

TEST_F(ServeStdio, AClosedOutputEndsWithStatusOne) {
    int in[2], out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    ::close(out[0]);
    std::string line = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n";
    ASSERT_EQ(::write(in[1], line.data(), line.size()), static_cast<ssize_t>(line.size()));
    EXPECT_EQ(serveStdio(server_, in[0], out[1]), 1);
    ::close(in[0]);
    ::close(in[1]);
    ::close(out[1]);
}

}  // namespace
}  // namespace quillmere::mcp
