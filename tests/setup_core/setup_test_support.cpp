#include "tests/setup_core/setup_test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace quillmere::setup::testing {

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    if (value) {
        ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_) {
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

namespace {

std::filesystem::path directoryFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) {
        ADD_FAILURE() << name << " is not set; run the tests through ctest";
        return {};
    }
    return value;
}

}  // namespace

std::filesystem::path sourceDirectory() {
    return directoryFromEnvironment("QUILLMERE_SOURCE_DIR");
}
std::filesystem::path buildDirectory() {
    return directoryFromEnvironment("QUILLMERE_BUILD_DIR");
}

std::filesystem::path realCodex() {
    return sourceDirectory() / "node_modules/.bin/codex";
}
std::filesystem::path fakeCodex() {
    return sourceDirectory() / "tests/setup_core/fake_codex.sh";
}

mode_t permissions(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        ADD_FAILURE() << "cannot inspect " << path;
        return 0;
    }
    return info.st_mode & 07777;
}

bool processEnds(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const std::string stat = "/proc/" + std::to_string(pid) + "/stat";
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in(stat);
        if (!in) return true;
        std::string line;
        std::getline(in, line);
        // "pid (name) S ...": the state follows the last parenthesis.
        std::size_t close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z')
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace quillmere::setup::testing
