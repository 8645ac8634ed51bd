#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>

namespace quillmere::mcp {

// The server's view of the shared folder, rebuilt by refresh().
// INTERIM: the recording library is still to be written; this empty view only
// lets the process entry and request handling be built and tested.
class Library {
public:
    Library(std::filesystem::path root, std::filesystem::path cache);

    // Re-reads the shared folder.
    void refresh();
    // The status object of the last refresh.
    nlohmann::json status() const;

    const std::filesystem::path& root() const { return root_; }
    const std::filesystem::path& cache() const { return cache_; }

private:
    std::filesystem::path root_;
    std::filesystem::path cache_;
};

}  // namespace quillmere::mcp
