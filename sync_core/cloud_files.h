#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace quillmere::sync::CloudFiles {

// The whole contents of a file of the shared folder, at most limit bytes.
// A file the sync service has not brought here yet gets a download request and
// SyncFailure::notDownloaded; a reported size or a number of bytes read above
// limit is SyncFailure::invalidData, and so is anything but a regular file (a
// FIFO would block the reader). Never holds more than limit + 1 bytes, however
// the file grows meanwhile. Other errors: std::system_error, as the platform
// reports them (no_such_file_or_directory for a missing file).
std::string read(const std::filesystem::path& file, std::int64_t limit);

// Replaces file with data atomically (temporary file, fsync, rename, fsync of
// the directory), creating missing directories first. Once the rename is done
// the write has happened: a directory that cannot be synced is only a warning. Throws Cancelled before
// anything is created when stop is requested, std::system_error otherwise.
void write(std::string_view data, const std::filesystem::path& file, std::stop_token stop = {});

// Copies source to destination through a ".stage-<UUID>" file beside the
// destination. With expectedHash, the staged bytes must have that SHA-256 or
// the copy fails with SyncFailure::changedSource and leaves the destination
// alone. The copy stops one byte past expectedBytes (without it, past the size
// the source had when opened) and fails with changedSource, so a source that
// keeps growing cannot fill the destination's file system. No staging file
// survives the call. Throws Cancelled, std::system_error.
void copy(const std::filesystem::path& source, const std::filesystem::path& destination,
          const std::optional<std::string>& expectedHash,
          std::optional<std::int64_t> expectedBytes = std::nullopt, std::stop_token stop = {});

}  // namespace quillmere::sync::CloudFiles
