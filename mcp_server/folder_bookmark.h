#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace quillmere::mcp {

// A saved reference to a chosen directory: its absolute path and the device
// and inode numbers it had when chosen. Its file form is one JSON object,
//   {"device":2049,"inode":1835011,"path":"/home/ann/Sync/AgentLibrary"}
// followed by a line feed. There is no access scope to hold on Linux.
struct FolderBookmark {
    std::string path;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    // The bookmark of an existing directory, path made absolute. Throws
    // std::system_error (ENOTDIR for something that is not a directory).
    static FolderBookmark create(const std::filesystem::path& directory);

    // Reads the file form. Throws base::DecodingError for anything but an
    // object with an absolute "path" string and non-negative integer
    // "device" and "inode".
    static FolderBookmark decode(std::string_view data);
    // The file form. Throws base::EncodingError for a path that is not UTF-8.
    std::string encode() const;

    struct Resolution {
        std::filesystem::path directory;
        // The path now names something else than the directory that was
        // chosen (other device or inode, or not a directory at all).
        bool stale = false;
    };
    // Looks the path up again. Throws std::system_error when it is gone.
    Resolution resolve() const;
};

}  // namespace quillmere::mcp
