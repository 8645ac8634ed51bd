#include "mcp_server/emit.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <system_error>
#include <thread>

#include "base/json_text.h"

namespace quillmere::mcp {
namespace {

using nlohmann::json;

TEST(SerializeJSON, WritesCompactSortedUTF8WithEscapedSlashes) {
    struct Row {
        json value;
        std::string_view text;
    };
    for (const Row& row : std::vector<Row>{
             {json{{"b", 1}, {"a", {{"d", true}, {"c", nullptr}}}},
              R"({"a":{"c":null,"d":true},"b":1})"},
             {json{{"uri", "file:///a/b"}}, R"({"uri":"file:\/\/\/a\/b"})"},
             {json{{"a/b", "/"}}, R"({"a\/b":"\/"})"},
             {json{{"t", "录音 é"}}, "{\"t\":\"录音 é\"}"},
             {json{{"q", "a\"/\\b\n"}}, R"({"q":"a\"\/\\b\n"})"},
             {json::array({1.5, -5, 0, "x"}), R"([1.5,-5,0,"x"])"},
             {json{{"B", 1}, {"a", 2}, {"_", 3}}, R"({"B":1,"_":3,"a":2})"},
         }) {
        EXPECT_EQ(serializeJSON(row.value), row.text);
    }
}

// Escaping every '/' byte is only sound if the text still parses back to the
// same value, whatever the strings hold around the slashes.
TEST(SerializeJSON, EscapedTextParsesBackToTheSameValue) {
    for (const json& value : {
             json{{"s", "//"}, {"e", "\\/"}, {"u", "\xe2\x81\x84/\xf0\x9f\x8e\x99/"}},
             json{{"nested", {{"k/", json::array({"/", "\\", "\"/\""})}}}},
             json{{"control", std::string("\x01/\x1f", 3)}},
             json{{"n", 1e300}, {"m", -0.001}, {"big", 18446744073709551615ull}},
         }) {
        std::string text = serializeJSON(value);
        EXPECT_EQ(json::parse(text), value) << text;
        EXPECT_EQ(text.find('\n'), std::string::npos);
    }
}

TEST(SerializeJSON, ValuesWithoutAJSONFormAreRefused) {
    EXPECT_THROW(serializeJSON(json{{"x", "\xff"}}), base::EncodingError);
    EXPECT_THROW(serializeJSON(json{{"\xc3", 1}}), base::EncodingError);
    EXPECT_THROW(serializeJSON(json{{"x", std::nan("")}}), base::EncodingError);
    EXPECT_THROW(serializeJSON(json{{"x", HUGE_VAL}}), base::EncodingError);
}

struct PipeEnds {
    int read = -1;
    int write = -1;
    PipeEnds() {
        int fds[2];
        if (::pipe(fds) != 0) throw std::system_error(errno, std::generic_category());
        read = fds[0];
        write = fds[1];
    }
    ~PipeEnds() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
    void closeWrite() {
        ::close(write);
        write = -1;
    }
    std::string readAll() {
        std::string bytes;
        char chunk[65536];
        for (ssize_t got; (got = ::read(read, chunk, sizeof chunk)) > 0;) bytes.append(chunk, got);
        return bytes;
    }
};

TEST(Emit, WritesOneLinePerValueAndNothingForAValueWithoutJSONForm) {
    PipeEnds pipe;
    EXPECT_TRUE(emit(json{{"id", 1}, {"u", "/"}}, pipe.write));
    EXPECT_FALSE(emit(json{{"bad", "\xff"}}, pipe.write));
    EXPECT_TRUE(emit(json{{"id", 2}}, pipe.write));
    pipe.closeWrite();
    EXPECT_EQ(pipe.readAll(), "{\"id\":1,\"u\":\"\\/\"}\n{\"id\":2}\n");
}

TEST(Emit, DeliversEveryByteThroughAFullNonBlockingPipe) {
    PipeEnds pipe;
    ::fcntl(pipe.write, F_SETFL, ::fcntl(pipe.write, F_GETFL) | O_NONBLOCK);
    // Far more than a pipe holds, so writes come back partial or EAGAIN.
    json value = {{"text", std::string(4 << 20, 'q')}};
    std::string received;
    std::thread reader([&] { received = pipe.readAll(); });
    EXPECT_TRUE(emit(value, pipe.write));
    pipe.closeWrite();
    reader.join();
    EXPECT_EQ(received, serializeJSON(value) + "\n");
}

TEST(Emit, AGoneReaderIsAnErrorNotASignal) {
    std::signal(SIGPIPE, SIG_IGN);
    PipeEnds pipe;
    ::close(pipe.read);
    pipe.read = -1;
    try {
        emit(json{{"id", 1}}, pipe.write);
        FAIL() << "write to a pipe without reader succeeded";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::broken_pipe);
    }
    EXPECT_THROW(emit(json{{"id", 1}}, -1), std::system_error);
}

}  // namespace
}  // namespace quillmere::mcp
