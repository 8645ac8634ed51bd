#pragma once

#include <exception>
#include <functional>
#include <stop_token>
#include <string>

namespace quillmere::sync {

// The error of the sync core and of the server's reading of the folder. Each
// kind carries one fixed user-facing message and nothing else.
class SyncFailure : public std::exception {
public:
    enum class Kind { invalidData, notDownloaded, noCloud, changedSource };

    explicit SyncFailure(Kind kind) noexcept : kind_(kind) {}

    static SyncFailure invalidData() noexcept { return SyncFailure(Kind::invalidData); }
    static SyncFailure notDownloaded() noexcept { return SyncFailure(Kind::notDownloaded); }
    static SyncFailure noCloud() noexcept { return SyncFailure(Kind::noCloud); }
    static SyncFailure changedSource() noexcept { return SyncFailure(Kind::changedSource); }

    Kind kind() const noexcept { return kind_; }
    // The fixed Simplified Chinese message of the kind.
    const std::string& errorDescription() const noexcept;
    const char* what() const noexcept override { return errorDescription().c_str(); }

    friend bool operator==(const SyncFailure& a, const SyncFailure& b) noexcept {
        return a.kind_ == b.kind_;
    }

private:
    Kind kind_;
};

// Thrown by every operation that notices a requested stop of its std::stop_token.
class Cancelled : public std::exception {
public:
    const char* what() const noexcept override { return "operation cancelled"; }
};

// Throws Cancelled when a stop has been requested.
inline void checkCancellation(const std::stop_token& token) {
    if (token.stop_requested()) throw Cancelled();
}

}  // namespace quillmere::sync

template <>
struct std::hash<quillmere::sync::SyncFailure> {
    std::size_t operator()(const quillmere::sync::SyncFailure& f) const noexcept {
        return std::hash<int>()(static_cast<int>(f.kind()));
    }
};
