#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace quillmere::setup {

// The error of the setup core. Each kind carries one fixed user-facing message
// (Simplified Chinese), and a failure may add a detail line to it (the path of a backup
// left behind, the character at fault); two failures are equal when their kinds are.
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
        expandedByClient,   // the client would expand a character of the entry's paths
        malformedYAML,      // existing YAML configuration unusable; left untouched
        uneditableYAML,     // the YAML cannot be changed safely as text; left untouched
    };

    explicit SetupFailure(Kind kind, const std::string& detail = {});

    Kind kind() const noexcept { return kind_; }
    // The kind's message, then the detail on a line of its own when there is one. Without
    // a detail, the text outlives the failure.
    const std::string& errorDescription() const noexcept;
    const char* what() const noexcept override { return errorDescription().c_str(); }
    // This failure with "备份文件：<backup>" as its detail, when a backup was made.
    SetupFailure naming(const std::optional<std::filesystem::path>& backup) const;

    friend bool operator==(const SetupFailure& a, const SetupFailure& b) noexcept {
        return a.kind_ == b.kind_;
    }

  private:
    Kind kind_;
    std::string detailed_;  // empty without a detail
};

}  // namespace quillmere::setup

template <>
struct std::hash<quillmere::setup::SetupFailure> {
    std::size_t operator()(const quillmere::setup::SetupFailure& f) const noexcept {
        return std::hash<int>()(static_cast<int>(f.kind()));
    }
};
