#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "tests/support/process.h"

namespace quillmere::testing {

// The folder source behind a FUSE mount at mountpoint, served by a process of
// the test for the object's lifetime (which must outlast every process that
// reads through it): Debian's rclone mounting it read-only with a full VFS
// cache and a 100 ms directory cache, or stalling_fs.py, whose reads of chosen
// files stall or fail.
class FuseMount {
  public:
    enum class Kind { rclone, stalling };
    FuseMount(Kind kind, const std::filesystem::path& source, const std::filesystem::path& mountpoint);
    // Lifts every stall, unmounts and waits for the mounter to end.
    ~FuseMount();
    FuseMount(const FuseMount&) = delete;
    FuseMount& operator=(const FuseMount&) = delete;

    const std::filesystem::path& path() const { return mountpoint_; }
    // stalling_fs.py's rule, replacing the previous one: "" (none), "stall
    // PATTERN" or "fail PATTERN", the pattern a shell pattern over the path
    // inside the mount ("/" first).
    void rule(const std::string& rule);
    // Kills the mounter with SIGKILL: a dead mount, as after a crash.
    void kill();

  private:
    std::filesystem::path mountpoint_;
    std::unique_ptr<ChildProcess> mounter_;
};

}  // namespace quillmere::testing
