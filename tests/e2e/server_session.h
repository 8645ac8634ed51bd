#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::testing {

// The built quillmere-mcp (QUILLMERE_BUILD_DIR/bin/quillmere-mcp).
std::filesystem::path serverProgram();

// A live quillmere-mcp --stdio over a folder, driven one request at a time, so
// a test can change the folder between two calls. Standard error goes to a
// file in the home directory; the process is killed when the session ends.
class ServerSession {
  public:
    // Starts the server with HOME = home and the given extra arguments after
    // "--stdio --cloud-root <root>". With fileSizeLimit the server runs under
    // that RLIMIT_FSIZE with SIGXFSZ ignored, so a write past it fails with
    // EFBIG as on a full file system.
    ServerSession(const std::filesystem::path& home, const std::filesystem::path& root,
                  std::vector<std::string> extraArguments = {},
                  std::optional<std::uint64_t> fileSizeLimit = std::nullopt);
    ~ServerSession();
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    // Writes raw bytes (a line feed is not added).
    void send(std::string_view bytes);
    // The next response line, or nullopt when none arrives within the limit or
    // the server ends its output. Fails the test for a line that is not JSON.
    std::optional<nlohmann::json> receive(
        std::chrono::milliseconds limit = std::chrono::seconds(90));

    // Sends one request and returns its response (nullopt as receive()).
    std::optional<nlohmann::json> request(const nlohmann::json& id, std::string_view method,
                                          const nlohmann::json& params = nullptr);
    // initialize with the newest protocol version; true when it was answered.
    bool initialize();
    // tools/call: the structured result, or the text of an error result
    // wrapped as {"error_text": ...}; nullopt when there was no answer.
    std::optional<nlohmann::json> call(std::string_view tool,
                                       const nlohmann::json& arguments = nlohmann::json::object());
    // Whether a ping with a fresh id is answered with an empty result.
    bool alive();

    // Closes standard input and waits for the exit status (-1 when it had to
    // be killed, 128 + signal when a signal ended it).
    int finish(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // What the server wrote on standard error so far.
    std::string standardError() const;

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
    std::filesystem::path errorFile_;
    int nextId_ = 1000;
};

}  // namespace quillmere::testing
