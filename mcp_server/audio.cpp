#include "mcp_server/audio.h"

#include <sys/stat.h>

#include <system_error>

#include "mcp_server/library.h"
#include "sync_core/bounded_reads.h"
#include "sync_core/cloud_files.h"
#include "sync_core/item_status.h"
#include "sync_core/sync_failure.h"
#include "sync_core/sync_format.h"

namespace quillmere::mcp {

namespace fs = std::filesystem;
using nlohmann::json;
namespace SyncFormat = sync::SyncFormat;

namespace {

constexpr const char* notSharedMessage = "该音轨未共享。请在 iPhone 开启原音同步并等待完成。";
constexpr const char* pendingMessage = "原音尚未到达此电脑。";
constexpr const char* downloadingMessage = "已请求下载原音，请稍后重试。";
constexpr const char* localFileNote =
    "Local file on this computer; remote clients cannot fetch this file URL.";

json unavailable(const LibraryItem& item, const char* state, const char* message) {
    return {{"recording_key", item.key}, {"state", state}, {"message", message}};
}

// Copies made by earlier versions were readable by others: a reused one becomes the
// owner's alone. Only a regular file of its own name; chmod would follow a link.
void keepPrivate(const fs::path& copy) {
    struct stat info {};
    if (::lstat(copy.c_str(), &info) == 0 && S_ISREG(info.st_mode) && (info.st_mode & 077) != 0)
        ::chmod(copy.c_str(), info.st_mode & 0700);
}

// The digest of a cached file, or "" when it cannot be read: a cached copy
// that cannot be hashed is as good as a wrong one.
std::string digestOrEmpty(const fs::path& file) {
    try {
        return SyncFormat::fileDigest(file);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace

std::string mime(std::string_view extension) {
    if (extension == "m4a" || extension == "mp4") return "audio/mp4";
    if (extension == "wav") return "audio/wav";
    if (extension == "mov") return "video/quicktime";
    if (extension == "qta") return "application/octet-stream";
    if (extension == "caf") return "audio/x-caf";
    return "audio/aac";
}

std::string fileURI(const fs::path& absolutePath) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (unsigned char c : absolutePath.string()) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                c == '~' || c == '/';
        if (unreserved) {
            uri += static_cast<char>(c);
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 0x0f];
        }
    }
    return uri;
}

json Library::audio(const LibraryItem& item, std::int64_t track) const {
    const auto& tracks = item.record().audio;
    const auto shared = std::find_if(tracks.begin(), tracks.end(),
                                     [&](const sync::SharedAudio& a) { return a.track == track; });
    if (shared == tracks.end()) return unavailable(item, "not_shared", notSharedMessage);

    // Every step that touches the shared folder runs on a bounded reader: a
    // track the mount has not fetched yet is pending, never a held call.
    sync::BoundedReads reads;
    // The fetch of the track has the key of its own: only the end of that
    // read says its bytes are local.
    const std::string key = (*item.sourceRoot / "audio" / shared->fileName).string();
    const std::string statusKey = key + " (status)";
    fs::path source;
    try {
        source = reads.run(statusKey, [root = item.sourceRoot, name = shared->fileName] {
            return SyncFormat::child(name, SyncFormat::child("audio", *root));
        });
    } catch (const sync::SyncFailure& f) {
        if (f.kind() != sync::SyncFailure::Kind::notDownloaded) throw;
        return unavailable(item, "pending", pendingMessage);
    }
    sync::ItemStatus status;
    try {
        status = reads.run(statusKey, [source] { return sync::itemStatusProvider().status(source); });
    } catch (const std::exception&) {
        return unavailable(item, "pending", pendingMessage);
    }
    sync::ItemStatusProvider& provider = sync::itemStatusProvider();
    if (status.isUbiquitous && !status.downloadCurrent) {
        provider.requestDownload(source);
        return unavailable(item, "downloading", downloadingMessage);
    }
    if (!status.fileSize || *status.fileSize != shared->bytes)
        throw sync::SyncFailure::invalidData();

    const fs::path cached = SyncFormat::child(shared->fileName, cache_);
    std::error_code error;
    const bool reusable = fs::exists(cached, error) && digestOrEmpty(cached) == shared->sha256;
    if (!reusable) {
        // The track is fetched by reading it through once, writing nothing:
        // a copy that stalled would leave a staged file in the cache for as
        // long as the mount holds it. A fetch given up on that has finished
        // since counts, so a track too large to read within the wait is
        // still delivered on a later call. The copy then reads local bytes.
        if (!sync::BoundedReads::arrived(key)) {
            try {
                reads.run(key, [source] { SyncFormat::fileDigest(source); });
            } catch (const sync::SyncFailure& f) {
                if (f.kind() != sync::SyncFailure::Kind::notDownloaded) throw;
                return unavailable(item, "pending", pendingMessage);
            }
        }
        sync::CloudFiles::copy(source, cached, shared->sha256, shared->bytes);
    } else {
        keepPrivate(cached);
    }

    if (SyncFormat::fileDigest(cached) != shared->sha256) {
        fs::remove(cached, error);
        throw sync::SyncFailure::invalidData();
    }
    return {{"recording_key", item.key},
            {"state", "available"},
            {"track", track},
            {"uri", fileURI(cached)},
            {"bytes", shared->bytes},
            {"sha256", shared->sha256},
            {"mime_type",
             mime(cached.extension().empty() ? "" : cached.extension().string().substr(1))},
            {"note", localFileNote}};
}

}  // namespace quillmere::mcp
