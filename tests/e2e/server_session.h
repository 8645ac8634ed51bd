#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/process.h"

namespace quillmere::testing {

// The built quillmere-mcp (QUILLMERE_BUILD_DIR/bin/quillmere-mcp).
std::filesystem::path serverProgram();

// A live quillmere-mcp --stdio --cloud-root <root> with HOME = home, driven one
// request at a time so a test can change the folder between two calls. With
// fileSizeLimit its writes past that size fail with EFBIG, as on a full disk.
// Initialised with the newest protocol version (a test failure if it is not).
class ServerSession {
  public:
    ServerSession(const std::filesystem::path& home, const std::filesystem::path& root,
                  std::vector<std::string> extraArguments = {},
                  std::optional<std::uint64_t> fileSizeLimit = std::nullopt);

    void send(std::string_view bytes) { child_.write(bytes); }
    // The next response, or nullopt when none arrives; fails the test for a
    // line that is not JSON.
    std::optional<nlohmann::json> receive();
    std::optional<nlohmann::json> request(const nlohmann::json& id, std::string_view method,
                                          const nlohmann::json& params = nullptr);
    // tools/call: the structured result, or {"error_text": <text>} for an error
    // result; nullopt when there was no answer.
    std::optional<nlohmann::json> call(std::string_view tool,
                                       const nlohmann::json& arguments = nlohmann::json::object());
    // Whether a ping is answered.
    bool alive();
    // Closes the input and returns the exit status (-1 when it had to be killed).
    int finish();
    std::string standardError() { return child_.standardError(); }

  private:
    bool initialize();

    ChildProcess child_;
    int nextId_ = 1000;
};

}  // namespace quillmere::testing
