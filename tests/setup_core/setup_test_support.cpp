#include "tests/setup_core/setup_test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/support/temp_dir.h"

namespace quillmere::setup::testing {

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    value ? ::setenv(name_.c_str(), value->c_str(), 1) : ::unsetenv(name_.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
    previous_ ? ::setenv(name_.c_str(), previous_->c_str(), 1) : ::unsetenv(name_.c_str());
}

namespace {
std::filesystem::path fromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) ADD_FAILURE() << name << " is not set; run the tests through ctest";
    return value ? value : "";
}
}  // namespace

std::filesystem::path buildDirectory() { return fromEnvironment("QUILLMERE_BUILD_DIR"); }
std::filesystem::path realTool(const std::string& name) {
    return fromEnvironment("QUILLMERE_SOURCE_DIR") / "node_modules/.bin" / name;
}

mode_t permissions(const std::filesystem::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) ADD_FAILURE() << "cannot inspect " << path;
    return info.st_mode & 07777;
}

std::vector<std::string> lines(const std::filesystem::path& file) {
    std::vector<std::string> result;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::vector<std::string> backupsOf(const std::filesystem::path& directory, const std::string& prefix) {
    std::vector<std::string> result;
    for (const std::string& entry : quillmere::testing::listDirectory(directory)) {
        if (entry.starts_with(prefix + ".quillmere-backup-")) result.push_back(entry);
    }
    return result;
}

bool processEnds(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(in, line)) return true;
        // "pid (name) S ...": the state follows the last parenthesis.
        const std::size_t close = line.rfind(')');
        if (close != std::string::npos && line.compare(close + 1, 2, " Z") == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace quillmere::setup::testing
