#include "mcp_server/emit.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <system_error>

#include "base/json_text.h"

namespace quillmere::mcp {

namespace {

// nlohmann writes a NaN or an infinity as null; refuse them instead of
// sending a value the tool never produced.
void requireFiniteNumbers(const nlohmann::json& value) {
    if (value.is_number_float()) {
        if (!std::isfinite(value.get<double>())) {
            throw base::EncodingError("number is not finite");
        }
    } else if (value.is_structured()) {
        for (const auto& element : value) requireFiniteNumbers(element);
    }
}

}  // namespace

std::string serializeJSON(const nlohmann::json& value) {
    requireFiniteNumbers(value);
    std::string text;
    try {
        text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception& e) {
        throw base::EncodingError(e.what());
    }
    // Outside strings compact JSON holds only punctuation, digits, signs,
    // exponents and the literals, and inside strings a UTF-8 continuation or
    // lead byte is never 0x2F; so every '/' byte of the text is a slash inside
    // a string and "\/" is its escaped form.
    const auto slashes = static_cast<std::size_t>(std::ranges::count(text, '/'));
    if (slashes == 0) return text;
    std::string escaped;
    escaped.reserve(text.size() + slashes);
    for (char c : text) {
        if (c == '/') escaped.push_back('\\');
        escaped.push_back(c);
    }
    return escaped;
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written >= 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd waiting{fd, POLLOUT, 0};
            if (::poll(&waiting, 1, -1) == -1 && errno != EINTR) {
                throw std::system_error(errno, std::generic_category(), "poll");
            }
            continue;
        }
        throw std::system_error(errno, std::generic_category(), "write");
    }
}

bool emit(const nlohmann::json& value, int fd) {
    std::string text;
    try {
        text = serializeJSON(value);
    } catch (const base::EncodingError&) {
        return false;
    }
    writeAll(fd, text);
    writeAll(fd, "\n");
    return true;
}

void diagnostic(std::string_view message) {
    std::string line(message);
    line.push_back('\n');
    try {
        writeAll(STDERR_FILENO, line);
    } catch (const std::system_error&) {
    }
}

}  // namespace quillmere::mcp
