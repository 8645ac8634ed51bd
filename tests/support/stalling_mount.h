#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace quillmere::testing {

// A FUSE mount (stalling_fs.py) showing source at mountpoint, whose reads of
// chosen files stall or fail. Lifts every stall and unmounts when it goes
// away, so it must outlive the processes that read through it.
class StallingMount {
  public:
    StallingMount(const std::filesystem::path& source, const std::filesystem::path& mountpoint);
    ~StallingMount();
    StallingMount(const StallingMount&) = delete;
    StallingMount& operator=(const StallingMount&) = delete;

    // Replaces the rules: "stall PATTERN" or "fail PATTERN", the pattern a
    // shell pattern over the path inside the mount ("/" first).
    void rules(const std::vector<std::string>& rules);
    const std::filesystem::path& path() const { return mountpoint_; }

  private:
    std::filesystem::path mountpoint_;
    std::filesystem::path rulesFile_;
    std::unique_ptr<ChildProcess> process_;
};

}  // namespace quillmere::testing
