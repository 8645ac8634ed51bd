// SyncFormat::child with arbitrary names inside a directory that holds links
// leading out of it: the result is always directly inside the resolved root,
// or the name is refused with SyncFailure::invalidData.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;

struct Folder {
    fs::path root;
    fs::path resolvedRoot;
};

// root/ holds a file, a directory, a link to outside, a link to its own
// parent, a dangling link, a link loop and a link to a sibling; the root is
// itself reached through a link.
Folder makeFolder() {
    fs::path scratch = quillmere::fuzz::scratchDirectory("quillmere-fuzz-child");
    fs::create_directories(scratch / "real/root/dir");
    fs::create_directories(scratch / "outside");
    std::ofstream(scratch / "real/root/file") << "x";
    std::ofstream(scratch / "outside/secret") << "x";
    fs::create_directory_symlink(scratch / "real/root", scratch / "root");
    fs::path r = scratch / "real/root";
    fs::create_symlink("../../outside/secret", r / "out");
    fs::create_symlink("..", r / "up");
    fs::create_symlink("/etc/passwd", r / "passwd");
    fs::create_symlink("missing/nowhere", r / "dangling");
    fs::create_symlink("loop", r / "loop");
    fs::create_symlink("file", r / "alias");
    fs::create_symlink("dir/../file", r / "through");
    return {scratch / "root", fs::canonical(scratch / "root")};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quillmere;
    static const Folder folder = makeFolder();
    std::string_view name(reinterpret_cast<const char*>(data), size);
    fs::path result;
    try {
        result = sync::SyncFormat::child(name, folder.root);
    } catch (const sync::SyncFailure& failure) {
        fuzz::require(failure.kind() == sync::SyncFailure::Kind::invalidData,
                      "child threw another kind than invalidData");
        return 0;
    } catch (const std::system_error&) {
        // A link loop or an over-long name (filesystem_error is one too); the caller
        // treats it as unreadable.
        return 0;
    }
    fuzz::require(name.find('/') == std::string_view::npos && name.find('\0') == name.npos,
                  "a name with a separator or NUL was accepted");
    fuzz::require(result.parent_path() == folder.resolvedRoot,
                  "the result is not directly inside the resolved root");
    // What the result names on disk, if anything, is no link (it was resolved).
    std::error_code ec;
    fuzz::require(!fs::is_symlink(fs::symlink_status(result, ec)), "the result is a link");
    return 0;
}
