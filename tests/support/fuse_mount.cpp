#include "tests/support/fuse_mount.h"

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

FuseMount::FuseMount(Kind kind, const fs::path& source, const fs::path& mountpoint) : mountpoint_(mountpoint) {
    fs::create_directories(mountpoint);
    rule("");
    mounter_ = std::make_unique<ChildProcess>(
        kind == Kind::rclone
            ? ProcessOptions{.program = "rclone",
                             .arguments = {"mount", source.string(), mountpoint.string(), "--config", "/dev/null",
                                           "--read-only", "--vfs-cache-mode", "full", "--dir-cache-time", "100ms",
                                           "--cache-dir", mountpoint.string() + ".cache"}}
            : ProcessOptions{.program = "/usr/bin/python3",
                             .arguments = {std::getenv("QUILLMERE_SOURCE_DIR") + std::string("/tests/support/stalling_fs.py"), source.string(), mountpoint.string(), mountpoint.string() + ".rules"}});
    for (int i = 0; i < 200 && !mounted(mountpoint); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(mounted(mountpoint)) << mounter_->standardError();
}

FuseMount::~FuseMount() {
    rule("");
    // A lazy unmount detaches at once, even a dead mount; the mounter then ends.
    runProcess({.program = "fusermount3", .arguments = {"-u", "-z", mountpoint_.string()}});
    if (mounter_) mounter_->finish(std::chrono::seconds(30));
    EXPECT_FALSE(mounted(mountpoint_));
}

void FuseMount::rule(const std::string& rule) { writeFile(mountpoint_.string() + ".rules", rule + "\n"); }

void FuseMount::kill() {
    mounter_->finish(std::chrono::milliseconds(0));
    mounter_.reset();
}

}  // namespace quillmere::testing
