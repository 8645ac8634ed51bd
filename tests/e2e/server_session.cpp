#include "tests/e2e/server_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "base/json_text.h"

extern char** environ;

namespace quillmere::testing {

namespace fs = std::filesystem;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

fs::path serverProgram() {
    const char* build = std::getenv("QUILLMERE_BUILD_DIR");
    if (build == nullptr) throw std::runtime_error("QUILLMERE_BUILD_DIR is not set");
    return fs::path(build) / "bin" / "quillmere-mcp";
}

ServerSession::ServerSession(const fs::path& home, const fs::path& root,
                             std::vector<std::string> extraArguments,
                             std::optional<std::uint64_t> fileSizeLimit)
    : errorFile_(home / ".server-stderr") {
    ::signal(SIGPIPE, SIG_IGN);
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) throwErrno("pipe2");
    std::vector<std::string> arguments = {serverProgram().string(), "--stdio", "--cloud-root",
                                          root.string()};
    for (std::string& a : extraArguments) arguments.push_back(std::move(a));
    // Everything the child needs is prepared before fork: between fork and exec
    // only async-signal-safe calls are made (a test may run threads meanwhile).
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        if (text.starts_with("HOME=") || text.starts_with("XDG_CONFIG_HOME=") ||
            text.starts_with("XDG_CACHE_HOME="))
            continue;
        environment.emplace_back(text);
    }
    environment.push_back("HOME=" + home.string());
    std::vector<char*> argv, envp;
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    rlimit limit{};
    if (fileSizeLimit) limit = {*fileSizeLimit, *fileSizeLimit};
    const std::string errorPath = errorFile_.string();

    pid_ = ::fork();
    if (pid_ < 0) throwErrno("fork");
    if (pid_ == 0) {
        int error = ::open(errorPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        if (error >= 0) ::dup2(error, 2);
        if (fileSizeLimit) {
            ::signal(SIGXFSZ, SIG_IGN);
            if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
        }
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
}

ServerSession::~ServerSession() {
    if (input_ >= 0) ::close(input_);
    if (output_ >= 0) ::close(output_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void ServerSession::send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(input_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throwErrno("write to the server");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::optional<json> ServerSession::receive(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
        if (auto end = pending_.find('\n'); end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            try {
                return base::parseJSON(line);
            } catch (const std::exception&) {
                ADD_FAILURE() << "not a JSON line: " << line.substr(0, 200);
                return std::nullopt;
            }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd waiting{output_, POLLIN, 0};
        int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char buffer[65536];
        ssize_t n = ::read(output_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<json> ServerSession::request(const json& id, std::string_view method,
                                           const json& params) {
    json message = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
    if (!params.is_null()) message["params"] = params;
    send(message.dump() + "\n");
    std::optional<json> response = receive();
    if (response && (*response)["id"] != id) {
        ADD_FAILURE() << "response to another id: " << response->dump().substr(0, 300);
    }
    return response;
}

bool ServerSession::initialize() {
    std::optional<json> response =
        request(nextId_++, "initialize",
                {{"protocolVersion", "2025-11-25"},
                 {"capabilities", json::object()},
                 {"clientInfo", {{"name", "hostile-test"}, {"version", "1"}}}});
    if (!response || !response->contains("result")) return false;
    send(R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
         "\n");
    return true;
}

std::optional<json> ServerSession::call(std::string_view tool, const json& arguments) {
    std::optional<json> response =
        request(nextId_++, "tools/call", {{"name", tool}, {"arguments", arguments}});
    if (!response) return std::nullopt;
    const json& result = (*response)["result"];
    if (!result.is_object()) {
        ADD_FAILURE() << "tools/call without a result: " << response->dump().substr(0, 300);
        return json{{"error_text", "no result"}};
    }
    if (result.value("isError", false)) {
        return json{{"error_text", result["content"][0]["text"]}};
    }
    return result["structuredContent"];
}

bool ServerSession::alive() {
    int id = nextId_++;
    std::optional<json> response = request(id, "ping");
    return response && (*response)["result"] == json::object();
}

int ServerSession::finish(std::chrono::milliseconds limit) {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
    const auto deadline = Clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (Clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string ServerSession::standardError() const {
    std::ifstream in(errorFile_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace quillmere::testing
