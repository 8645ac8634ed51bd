#pragma once

#include "setup_app/file_picker.h"

class QWidget;

namespace quillmere::app {

// FilePicker over QFileDialog, modal to `parent`. The prompt becomes the dialog's title,
// the one line every file dialog (Qt's own or the desktop's portal) shows.
class DialogFilePicker : public FilePicker {
  public:
    explicit DialogFilePicker(QWidget* parent) : parent_(parent) {}

    std::optional<std::filesystem::path> chooseDirectory(const std::string& message) override;
    std::optional<std::filesystem::path> chooseFile(const std::string& message) override;

  private:
    QWidget* parent_;
};

}  // namespace quillmere::app
