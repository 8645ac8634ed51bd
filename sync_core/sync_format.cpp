#include "sync_format.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <nlohmann/json.hpp>
#include <system_error>
#include <vector>

#include "base/posix_file.h"
#include "sync_failure.h"

namespace quillmere::sync::SyncFormat {

namespace fs = std::filesystem;

namespace {

constexpr int maxSymlinkHops = 40;

// Resolves every symbolic link of p, the last component included even when
// the link dangles (weakly_canonical would keep a dangling link as a plain
// name, and opening it later would follow it wherever it points).
fs::path resolve(fs::path p) {
    for (int hop = 0; hop <= maxSymlinkHops; ++hop) {
        fs::path leaf = p.filename();
        if (leaf.empty() || leaf == "." || leaf == "..") return fs::weakly_canonical(p);
        fs::path joined = fs::weakly_canonical(p.parent_path()) / leaf;
        struct stat st {};
        if (::lstat(joined.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return joined;
        fs::path target = fs::read_symlink(joined);
        p = target.is_absolute() ? target : joined.parent_path() / target;
    }
    throw std::system_error(ELOOP, std::generic_category(), p.string());
}

std::string hex(const unsigned char* bytes, unsigned length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(length * 2, '0');
    for (unsigned i = 0; i < length; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0x0f];
    }
    return out;
}

std::string dump(const nlohmann::json& value) {
    try {
        return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::exception& e) {
        throw base::EncodingError(e.what());
    }
}

struct DigestContextDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

}  // namespace

fs::path child(std::string_view name, const fs::path& root) {
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos) {
        throw SyncFailure::invalidData();
    }
    // A root not created yet keeps a trailing separator through resolution, and no
    // child's parent would ever equal it.
    const fs::path resolvedRoot = resolve(base::withoutTrailingSeparators(fs::absolute(root)));
    fs::path result = resolve(resolvedRoot / fs::path(name));
    if (result.parent_path() != resolvedRoot) throw SyncFailure::invalidData();
    return result;
}

std::string encode(const SharedPassage& value) { return dump(toJSON(value)); }
std::string encode(const SharedAudio& value) { return dump(toJSON(value)); }
std::string encode(const SharedRecording& value) { return dump(toJSON(value)); }
std::string encode(const SharedManifest::Entry& value) { return dump(toJSON(value)); }
std::string encode(const SharedManifest& value) { return dump(toJSON(value)); }

std::string digest(std::string_view bytes) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md, &length, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 unavailable");
    }
    return hex(md, length);
}

std::string fileDigest(const fs::path& file, std::stop_token stop) {
    // O_NONBLOCK: a FIFO planted where a file was expected reads as empty
    // instead of blocking forever.
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), file.string());
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 unavailable");
    }
    constexpr std::size_t chunkSize = 1 << 20;
    std::vector<unsigned char> chunk(chunkSize);
    for (;;) {
        ssize_t n = ::read(fd, chunk.data(), chunkSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) break;
            throw std::system_error(errno, std::generic_category(), file.string());
        }
        if (n == 0) break;
        checkCancellation(stop);
        EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(n));
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &length);
    return hex(md, length);
}

bool validHash(std::string_view text) {
    return text.size() == 64 &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace quillmere::sync::SyncFormat
