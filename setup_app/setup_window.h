#pragma once

#include <QWidget>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "setup_app/setup_model.h"
#include "setup_core/agent_client.h"

class QAbstractButton;
class QLabel;
class QMenu;
class QMessageBox;
class QPushButton;

namespace quillmere::app {

class FilePicker;
class PathLine;
class Spinner;

// Shows one file selected in the desktop's file manager.
using RevealFile = std::function<void(const std::filesystem::path&)>;

// The setup window "连接 AI 客户端": header, client box, folder box, outcome block and
// footer in one fixed 600 × 610 column. It creates and owns its SetupModel, binds every
// control to it and re-reads the whole model whenever it changes; it never calls the
// setup core itself. While model().conflict() is true it shows the replace alert.
//
// Child widgets carry object names ("mainButton", "cliStatus", "installHint", ...) so
// tests can find them; the segments are "segment_" + the client's raw value, then
// "segment_more" with its menu "moreMenu".
class SetupWindow : public QWidget {
  public:
    // Without a picker the window asks through QFileDialog; without reveal, through the
    // desktop's file manager (revealInFileManager).
    explicit SetupWindow(SetupEnvironment environment, FilePicker* picker = nullptr,
                         RevealFile reveal = {}, QWidget* parent = nullptr);
    ~SetupWindow() override;

    SetupModel& model() { return *model_; }

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void buildLayout();
    void applyStyle();
    void render();
    void showConflictAlert();
    void answerConflict(bool replace);

    std::unique_ptr<FilePicker> ownPicker_;
    SetupModel* model_ = nullptr;
    RevealFile reveal_;

    QLabel* headerSymbol_ = nullptr;
    QLabel* headerTitle_ = nullptr;
    QLabel* headerSubtitle_ = nullptr;
    QLabel* clientHeading_ = nullptr;
    std::map<setup::AgentClient, QPushButton*> segments_;
    // The fourth segment: every further client, in moreMenu_.
    QPushButton* moreSegment_ = nullptr;
    QMenu* moreMenu_ = nullptr;
    // The widest the fourth segment's chosen title may be, for the current font.
    int moreRoom_ = 0;
    QWidget* cliRow_ = nullptr;
    QLabel* cliStatus_ = nullptr;
    QPushButton* chooseTool_ = nullptr;
    QLabel* installHint_ = nullptr;
    QLabel* folderHeading_ = nullptr;
    QPushButton* chooseFolder_ = nullptr;
    PathLine* folderLine_ = nullptr;
    QLabel* folderHint_ = nullptr;
    QWidget* receiptBlock_ = nullptr;
    QLabel* receiptSymbol_ = nullptr;
    QLabel* receiptLabel_ = nullptr;
    QLabel* reopenLine_ = nullptr;
    QPushButton* revealConfiguration_ = nullptr;
    QPushButton* revealBackup_ = nullptr;
    QLabel* messageLine_ = nullptr;
    QLabel* footerHint_ = nullptr;
    Spinner* spinner_ = nullptr;
    QPushButton* mainButton_ = nullptr;
    QMessageBox* alert_ = nullptr;
    QAbstractButton* alertReplace_ = nullptr;
};

}  // namespace quillmere::app
