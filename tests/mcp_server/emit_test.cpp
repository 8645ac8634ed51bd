#include "mcp_server/emit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

namespace quillmere::mcp {
namespace {

using nlohmann::json;

// Escaping every '/' byte is only sound if the text still parses back to the
// same value, whatever the strings hold around the slashes.
TEST(SerializeJSON, EscapedTextParsesBackToTheSameValue) {
    for (const json& value : {
             json{{"s", "//"}, {"e", "\\/"}, {"u", "\xe2\x81\x84/\xf0\x9f\x8e\x99/"}},
             json{{"nested", {{"k/", json::array({"/", "\\", "\"/\""})}}}},
             json{{"control", std::string("\x01/\x1f\n", 4)}},
             json{{"n", 1e300}, {"m", -0.001}, {"big", 18446744073709551615ull}},
         }) {
        std::string text = serializeJSON(value);
        EXPECT_EQ(json::parse(text), value) << text;
        EXPECT_EQ(text.find('\n'), std::string::npos);
    }
}

// Far more than a pipe holds, so writes come back partial or EAGAIN; a value
// without a JSON form writes nothing.
TEST(Emit, DeliversEveryByteThroughAFullNonBlockingPipe) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    json value = {{"text", std::string(4 << 20, 'q')}};
    std::string received;
    std::thread reader([&] {
        char chunk[65536];
        for (ssize_t got; (got = ::read(fds[0], chunk, sizeof chunk)) > 0;) received.append(chunk, got);
    });
    EXPECT_TRUE(emit(value, fds[1]));
    EXPECT_FALSE(emit(json{{"bad", "\xff"}}, fds[1]));
    EXPECT_TRUE(emit(json{{"id", 2}}, fds[1]));
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received, serializeJSON(value) + "\n{\"id\":2}\n");
}

}  // namespace
}  // namespace quillmere::mcp
