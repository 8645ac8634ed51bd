#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace quillmere::mcp {

class MCPServer;

// Splits a byte stream into lines of at most maxLineBytes, line feed not
// counted. Empty lines are skipped; the bytes of a longer line are dropped as
// they come (at most maxLineBytes are ever held) and its line feed reports it
// once as oversized. Bytes after the last line feed wait for more input.
class LineFramer {
  public:
    static constexpr std::size_t maxLineBytes = 1'048'576;

    // Receives each complete non-empty line, carriage returns and blanks kept.
    using LineHandler = std::function<void(std::string_view line)>;
    // Called at the line feed of each line longer than maxLineBytes.
    using OversizedHandler = std::function<void()>;

    // Scans bytes in order; the handlers run before feed returns. A handler
    // that throws leaves the framer at the start of the next line.
    void feed(std::string_view bytes, const LineHandler& onLine,
              const OversizedHandler& onOversized);

    // Bytes of the unfinished line held so far (none while discarding).
    std::size_t pendingBytes() const { return buffer_.size(); }

  private:
    std::string buffer_;
    bool oversized_ = false;
};

// Serves MCP over the two descriptors until end of input: 8,192-byte reads
// (EINTR retried), one server.handle() per line, each response written with
// emit(). Returns the exit status: 0 at end of input (an unfinished last line
// is dropped), 1 after "Unable to read MCP stdin." or, when output cannot be
// written any more, "Unable to write MCP stdout.".
int serveStdio(MCPServer& server, int input, int output);

}  // namespace quillmere::mcp
