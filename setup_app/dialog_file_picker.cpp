#include "setup_app/dialog_file_picker.h"

#include <QDir>
#include <QFileDialog>
#include <QString>
#include <QStringList>

namespace quillmere::app {
namespace {

std::optional<std::filesystem::path> run(QWidget* parent, const std::string& message,
                                         QFileDialog::FileMode mode) {
    QFileDialog dialog(parent, QString::fromStdString(message), QDir::homePath());
    dialog.setFileMode(mode);
    if (mode == QFileDialog::Directory) dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setWindowModality(Qt::WindowModal);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty() || files.front().isEmpty()) return std::nullopt;
    return std::filesystem::path(files.front().toStdString());
}

}  // namespace

std::optional<std::filesystem::path> DialogFilePicker::chooseDirectory(const std::string& message) {
    return run(parent_, message, QFileDialog::Directory);
}

std::optional<std::filesystem::path> DialogFilePicker::chooseFile(const std::string& message) {
    return run(parent_, message, QFileDialog::ExistingFile);
}

}  // namespace quillmere::app
