#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

private:
    std::filesystem::path path_;
};

// Writes bytes to path, creating the directories on the way.
void writeFile(const std::filesystem::path& path, std::string_view bytes);
// The whole file; fails the current test when it cannot be read.
std::string readFile(const std::filesystem::path& path);
// Names of the directory's entries, sorted, hidden ones included.
std::vector<std::string> listDirectory(const std::filesystem::path& directory);

}  // namespace quillmere::testing
