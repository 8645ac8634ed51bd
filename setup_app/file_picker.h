#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillmere::app {

// The two modal open panels of the setup window, kept behind an interface so the model
// holds no widgets: the window answers with QFileDialog, tests with canned paths.
// Both calls block until the panel closes and return nullopt when it was cancelled or
// yielded no path.
class FilePicker {
  public:
    virtual ~FilePicker() = default;

    // A single existing directory; files cannot be picked. `message` is the panel's
    // prompt (UTF-8).
    virtual std::optional<std::filesystem::path> chooseDirectory(const std::string& message) = 0;
    // A single existing file; directories cannot be picked.
    virtual std::optional<std::filesystem::path> chooseFile(const std::string& message) = 0;
};

}  // namespace quillmere::app
