#pragma once

#include <exception>
#include <functional>
#include <string>

namespace quillmere::setup {

// The error of the setup core. Each kind carries one fixed user-facing message
// (Simplified Chinese) and nothing else; two failures are equal when their kinds are.
class SetupFailure : public std::exception {
  public:
    // In this order; the window and the command-line front show errorDescription().
    enum class Kind {
        malformed,          // existing JSON configuration unusable; left untouched
        conflict,           // a differing "quillmere" entry exists and replace was not given
        changed,            // the file changed between the first read and the write
        cliMissing,         // Codex chosen but no codex program known
        cliFailed,          // a codex run failed or printed something unusable
        timedOut,           // a child process outlived its time limit
        verification,       // the read-back differs from what was written
        linkedCodexConfig,  // config.toml is a symbolic link and is left alone
        inexactNumber,      // rewriting would change a number of the file; left untouched
        malformedCommented, // existing JSON-with-comments configuration unusable; left untouched
        claudeCliMissing,   // Claude Code chosen but no claude program known
        claudeCliFailed,    // a claude run failed
        malformedYAML,      // existing YAML configuration unusable; left untouched
        uneditableYAML,     // the YAML cannot be changed safely as text; left untouched
    };

    explicit SetupFailure(Kind kind) noexcept : kind_(kind) {}

    Kind kind() const noexcept { return kind_; }
    const std::string& errorDescription() const noexcept;
    const char* what() const noexcept override { return errorDescription().c_str(); }

    friend bool operator==(const SetupFailure& a, const SetupFailure& b) noexcept {
        return a.kind_ == b.kind_;
    }

  private:
    Kind kind_;
};

}  // namespace quillmere::setup

template <>
struct std::hash<quillmere::setup::SetupFailure> {
    std::size_t operator()(const quillmere::setup::SetupFailure& f) const noexcept {
        return std::hash<int>()(static_cast<int>(f.kind()));
    }
};
