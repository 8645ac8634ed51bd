#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace quillmere::mcp {

// The wire form of every JSON value the server writes: compact, object keys in
// ascending byte order, non-ASCII text as UTF-8 and every "/" inside a string
// as "\/".
//   serializeJSON({{"uri", "file:///a"}, {"a", 1}})  ->  {"a":1,"uri":"file:\/\/\/a"}
// Throws base::EncodingError for a string that is not UTF-8 or a number that
// is not finite; such a value has no JSON form.
std::string serializeJSON(const nlohmann::json& value);

// Writes all of bytes to fd, however many writes the descriptor needs. Retries
// EINTR and waits while a non-blocking descriptor is full. Throws
// std::system_error when the descriptor refuses bytes (EPIPE once the reader
// has gone, EBADF when it was never open); SIGPIPE must be ignored by then,
// which runProgram() arranges.
void writeAll(int fd, std::string_view bytes);

// Writes serializeJSON(value) to fd, then a line feed as a second write.
// Returns false and writes nothing when the value has no JSON form. Throws
// std::system_error as writeAll.
bool emit(const nlohmann::json& value, int fd);

// One human-readable line on standard error: message and a line feed in a
// single write. A failing standard error is ignored; there is nowhere left to
// report it.
void diagnostic(std::string_view message);

}  // namespace quillmere::mcp
