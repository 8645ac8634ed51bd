#include "tests/support/stalling_mount.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <thread>

#include "tests/support/temp_dir.h"

namespace quillmere::testing {

namespace fs = std::filesystem;

namespace {

// A mount point lies on another device than its parent directory.
bool mounted(const fs::path& path) {
    struct stat at {}, parent {};
    return ::stat(path.c_str(), &at) == 0 && ::stat(path.parent_path().c_str(), &parent) == 0 && at.st_dev != parent.st_dev;
}

}  // namespace

StallingMount::StallingMount(const fs::path& source, const fs::path& mountpoint)
    : mountpoint_(mountpoint), rulesFile_(mountpoint.string() + ".rules") {
    fs::create_directories(mountpoint);
    fs::create_directories(source);
    writeFile(rulesFile_, "");
    const fs::path script = fs::path(std::getenv("QUILLMERE_SOURCE_DIR")) / "tests/support/stalling_fs.py";
    process_ = std::make_unique<ChildProcess>(ProcessOptions{
        .program = "/usr/bin/python3",
        .arguments = {script.string(), source.string(), mountpoint.string(), rulesFile_.string()},
        .keepInputOpen = true,
        .timeLimit = std::chrono::minutes(5)});
    for (int i = 0; i < 200 && !mounted(mountpoint); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(mounted(mountpoint)) << process_->standardError();
}

StallingMount::~StallingMount() {
    rules({});
    // The end of its input makes the file system unmount itself.
    process_->finish(std::chrono::seconds(30));
    EXPECT_FALSE(mounted(mountpoint_));
}

void StallingMount::rules(const std::vector<std::string>& rules) {
    std::string text;
    for (const std::string& rule : rules) text += rule + "\n";
    writeFile(rulesFile_, text);
}

}  // namespace quillmere::testing
