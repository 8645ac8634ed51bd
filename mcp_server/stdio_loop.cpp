#include "mcp_server/stdio_loop.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "mcp_server/emit.h"
#include "mcp_server/mcp_server.h"

namespace quillmere::mcp {

void LineFramer::feed(std::string_view bytes, const LineHandler& onLine,
                      const OversizedHandler& onOversized) {
    while (!bytes.empty()) {
        const void* found = std::memchr(bytes.data(), '\n', bytes.size());
        std::size_t length =
            found == nullptr ? bytes.size() : static_cast<const char*>(found) - bytes.data();
        if (!oversized_) {
            if (buffer_.size() + length > maxLineBytes) {
                buffer_.clear();
                buffer_.shrink_to_fit();
                oversized_ = true;
            } else {
                buffer_.append(bytes.data(), length);
            }
        }
        if (found == nullptr) return;
        bytes.remove_prefix(length + 1);
        // Reset before the handler runs, so a throwing handler cannot leave
        // this line behind to be handled twice.
        bool wasOversized = oversized_;
        std::string line;
        line.swap(buffer_);
        oversized_ = false;
        if (wasOversized) {
            onOversized();
        } else if (!line.empty()) {
            onLine(line);
        }
        // Keep the allocation for the next line.
        line.clear();
        buffer_.swap(line);
    }
}

namespace {

const nlohmann::json& oversizedResponse() {
    static const nlohmann::json response = {
        {"jsonrpc", "2.0"},
        {"id", nullptr},
        {"error", {{"code", -32600}, {"message", "Request exceeds 1 MiB"}}},
    };
    return response;
}

}  // namespace

int serveStdio(MCPServer& server, int input, int output) {
    LineFramer framer;
    std::array<char, 8192> inputBytes{};
    auto onLine = [&](std::string_view line) {
        if (auto response = server.handle(line)) emit(*response, output);
    };
    auto onOversized = [&] { emit(oversizedResponse(), output); };
    for (;;) {
        ssize_t got = ::read(input, inputBytes.data(), inputBytes.size());
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            // A client may hand over a non-blocking pipe; wait for it
            // instead of failing.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd waiting{input, POLLIN, 0};
                if (::poll(&waiting, 1, -1) >= 0 || errno == EINTR) continue;
            }
            diagnostic("Unable to read MCP stdin.");
            return 1;
        }
        try {
            framer.feed(std::string_view(inputBytes.data(), static_cast<std::size_t>(got)), onLine,
                        onOversized);
        } catch (const std::system_error&) {
            diagnostic("Unable to write MCP stdout.");
            return 1;
        }
    }
}

}  // namespace quillmere::mcp
