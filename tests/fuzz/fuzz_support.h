#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

// Helpers shared by the libFuzzer targets: a failed property aborts, so
// libFuzzer keeps the input as a crash.
namespace quillmere::fuzz {

// Prints what broke and aborts.
[[noreturn]] inline void fail(std::string_view what) {
    std::fprintf(stderr, "fuzz property broken: %.*s\n", static_cast<int>(what.size()),
                 what.data());
    std::abort();
}

inline void require(bool holds, std::string_view what) {
    if (!holds) fail(what);
}

// A fresh directory for the whole fuzzing run, left behind on exit (the run
// ends by signal or crash, when no destructor runs anyway).
inline std::filesystem::path scratchDirectory(const char* name) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(name) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) fail("mkdtemp");
    return pattern;
}

// How many bytes a and b share at their start.
inline std::size_t commonPrefix(std::string_view a, std::string_view b) {
    std::size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
    return n;
}

// The common suffix, not reaching into the first skip bytes of either.
inline std::size_t commonSuffix(std::string_view a, std::string_view b, std::size_t skip) {
    std::size_t n = 0;
    while (n + skip < a.size() && n + skip < b.size() && a[a.size() - 1 - n] == b[b.size() - 1 - n]) ++n;
    return n;
}

}  // namespace quillmere::fuzz
