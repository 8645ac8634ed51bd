#pragma once

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string_view>

namespace quillmere::base {

// Malformed JSON, JSON nested too deeply, or a value that does not have the
// form its reader requires. The message names the fault for developers; users
// see the fixed messages of each subsystem's own failures instead.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value that has no JSON form (a non-finite number, text that is not UTF-8).
class EncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Arrays and objects nested deeper than this are refused before parsing: the
// recursive parser would otherwise exhaust the stack on hostile input.
inline constexpr int maxJSONDepth = 512;

// Strict parse of untrusted bytes: one JSON value with optional surrounding
// whitespace, no comments, valid UTF-8, no NUL byte anywhere, nesting at most
// maxJSONDepth deep. Throws DecodingError.
nlohmann::json parseJSON(std::string_view bytes);

}  // namespace quillmere::base
