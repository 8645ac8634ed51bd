#include "setup_app/dialog_file_picker.h"

#include <QDir>
#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>
#include <QString>
#include <algorithm>
#include <vector>

namespace quillmere::app {
namespace {

// Qt's own dialog (used where the desktop offers none) shows no prompt besides its title,
// which a window manager may hide; put the prompt above its contents as well.
void addPrompt(QFileDialog& dialog, const QString& message) {
    auto* grid = qobject_cast<QGridLayout*>(dialog.layout());
    if (!grid) return;
    struct Placed {
        QLayoutItem* item;
        int row, column, rowSpan, columnSpan;
    };
    std::vector<Placed> placed;
    while (grid->count() > 0) {
        Placed p{};
        grid->getItemPosition(0, &p.row, &p.column, &p.rowSpan, &p.columnSpan);
        p.item = grid->takeAt(0);
        placed.push_back(p);
    }
    for (const Placed& p : placed)
        grid->addItem(p.item, p.row + 1, p.column, p.rowSpan, p.columnSpan);
    auto* prompt = new QLabel(message, &dialog);
    prompt->setObjectName("prompt");
    prompt->setWordWrap(true);
    QFont font = prompt->font();
    font.setBold(true);
    prompt->setFont(font);
    grid->addWidget(prompt, 0, 0, 1, std::max(1, grid->columnCount()));
}

std::optional<std::filesystem::path> run(QWidget* parent, const std::string& message,
                                         QFileDialog::FileMode mode) {
    QFileDialog dialog(parent, QString::fromStdString(message), QDir::homePath());
    dialog.setFileMode(mode);
    if (mode == QFileDialog::Directory) dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setWindowModality(Qt::WindowModal);
    addPrompt(dialog, QString::fromStdString(message));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QString file = dialog.selectedFiles().value(0);
    if (file.isEmpty()) return std::nullopt;
    return std::filesystem::path(file.toStdString());
}

}  // namespace

std::optional<std::filesystem::path> DialogFilePicker::chooseDirectory(const std::string& message) {
    return run(parent_, message, QFileDialog::Directory);
}

std::optional<std::filesystem::path> DialogFilePicker::chooseFile(const std::string& message) {
    return run(parent_, message, QFileDialog::ExistingFile);
}

}  // namespace quillmere::app
