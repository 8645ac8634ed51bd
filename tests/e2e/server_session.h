#pragma once

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
// It with arguments, HOME = home and no XDG variables: a user account of its own.
ProcessOptions serverOptions(const std::filesystem::path& home, std::vector<std::string> arguments);

// A live quillmere-mcp --stdio --cloud-root <root> --cache-root <cacheRoot>,
// driven one request at a time so a test can change the folder between two
// calls. Initialised with the newest protocol version (a test failure if not).
class ServerSession : public ChildProcess {
  public:
    ServerSession(const std::filesystem::path& home, const std::filesystem::path& root,
                  const std::filesystem::path& cacheRoot);

    // The next response, or nullopt when none arrives; fails the test for a
    // line that is not JSON.
    std::optional<nlohmann::json> receive();
    // A request under a fresh id; fails the test for a response to another id.
    std::optional<nlohmann::json> request(std::string_view method, const nlohmann::json& params = nullptr);
    // tools/call: the structured result, or {"error_text": <text>} for an error
    // result; nullopt when there was no answer.
    std::optional<nlohmann::json> call(std::string_view tool,
                                       const nlohmann::json& arguments = nlohmann::json::object());
    // Whether a ping is answered.
    bool alive() {
        std::optional<nlohmann::json> response = request("ping");
        return response && (*response)["result"] == nlohmann::json::object();
    }
    // Closes the input and returns the exit status (-1 when it had to be killed).
    int finish();

  private:
    int nextId_ = 1000;
};

}  // namespace quillmere::testing
