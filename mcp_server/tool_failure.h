#pragma once

#include <exception>
#include <string>

namespace quillmere::mcp {

// A failure shown to the client as "<code>: <message>": a short snake_case
// code and a Simplified Chinese message for the user.
class ToolFailure : public std::exception {
public:
    ToolFailure(std::string code, std::string message)
        : code_(std::move(code)), message_(std::move(message)), text_(code_ + ": " + message_) {}

    const std::string& code() const noexcept { return code_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    std::string code_;
    std::string message_;
    std::string text_;
};

}  // namespace quillmere::mcp
