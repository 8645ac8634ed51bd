#include "setup_app/setup_window.h"

#include <QButtonGroup>
#include <QEvent>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "setup_app/dialog_file_picker.h"
#include "setup_app/file_reveal.h"
#include "setup_app/setup_texts.h"
#include "setup_app/setup_widgets.h"
#include "setup_core/client_configuration.h"

namespace quillmere::app {
namespace {

using setup::AgentClient;

// The clients with a segment of their own; the others are in the fourth segment's menu.
constexpr AgentClient segmentClients[] = {AgentClient::codex, AgentClient::claude, AgentClient::cursor};

// The desktop's text styles, as steps from the application's general font.
enum class TextRole { title2, headline, callout, caption };

QFont roleFont(const QFont& base, TextRole role) {
    QFont font = base;
    qreal scale = 1.0;
    switch (role) {
        case TextRole::title2:
            scale = 1.4;
            font.setBold(true);
            break;
        case TextRole::headline:
            font.setBold(true);
            break;
        case TextRole::callout:
            scale = 0.94;
            break;
        case TextRole::caption:
            scale = 0.86;
            break;
    }
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * scale);
    } else if (font.pixelSize() > 0) {
        font.setPixelSize(qRound(font.pixelSize() * scale));
    }
    return font;
}

bool isDark(const QPalette& palette) {
    return palette.color(QPalette::Window).lightness() < 128;
}

QColor secondaryColor(const QPalette& palette) {
    // Text half-way to the background, opaque, so it reads as secondary in any theme.
    const QColor text = palette.color(QPalette::WindowText);
    const QColor back = palette.color(QPalette::Window);
    const auto mix = [](int a, int b) { return (a * 11 + b * 9) / 20; };
    return QColor(mix(text.red(), back.red()), mix(text.green(), back.green()),
                  mix(text.blue(), back.blue()));
}

QColor accentColor(const QPalette& palette) {
    return palette.color(QPalette::Highlight);
}

// The desktop's destructive and success colours (the freedesktop/Adwaita named colours),
// in their light- or dark-theme variant.
QColor redColor(const QPalette& palette) {
    return isDark(palette) ? QColor(0xff, 0x7b, 0x63) : QColor(0xc0, 0x1c, 0x28);
}
QColor greenColor(const QPalette& palette) {
    return isDark(palette) ? QColor(0x8f, 0xf0, 0xa4) : QColor(0x26, 0xa2, 0x69);
}

void setTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

QLabel* makeLabel(const char* name, QWidget* parent, const QString& text = {}) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QPushButton* makeButton(const char* name, const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    return button;
}

QString q(const char* utf8) {
    return QString::fromUtf8(utf8);
}
QString q(std::string_view utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
QString q(const std::filesystem::path& path) {
    return QString::fromStdString(path.string());
}

}  // namespace

SetupWindow::SetupWindow(SetupEnvironment environment, FilePicker* picker, RevealFile reveal,
                         QWidget* parent)
    : QWidget(parent), reveal_(std::move(reveal)) {
    if (!picker) {
        ownPicker_ = std::make_unique<DialogFilePicker>(this);
        picker = ownPicker_.get();
    }
    if (!reveal_) reveal_ = revealInFileManager;
    model_ = new SetupModel(std::move(environment), *picker, this);

    setObjectName("setup");
    setWindowTitle(q(texts::windowTitle));
    setFixedSize(600, 610);
    buildLayout();
    applyStyle();
    QObject::connect(model_, &SetupModel::changed, this, &SetupWindow::render);
    render();
}

SetupWindow::~SetupWindow() = default;

void SetupWindow::buildLayout() {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(20);

    // Header.
    auto* header = new QHBoxLayout;
    header->setSpacing(14);
    headerSymbol_ = makeLabel("headerSymbol", this);
    headerSymbol_->setFixedSize(52, 52);
    headerSymbol_->setAlignment(Qt::AlignCenter);
    header->addWidget(headerSymbol_);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(4);
    headerTitle_ = makeLabel("headerTitle", this, q(texts::headerTitle));
    headerSubtitle_ = makeLabel("headerSubtitle", this, q(texts::headerSubtitle));
    titles->addWidget(headerTitle_);
    titles->addWidget(headerSubtitle_);
    header->addLayout(titles);
    header->addStretch();
    column->addLayout(header);

    // Client box.
    auto* clientBox = new QGroupBox(this);
    clientBox->setObjectName("clientBox");
    auto* clientColumn = new QVBoxLayout(clientBox);
    clientColumn->setContentsMargins(10, 10, 10, 10);
    clientColumn->setSpacing(14);
    clientHeading_ = makeLabel("clientHeading", clientBox, q(texts::clientHeading));
    clientColumn->addWidget(clientHeading_);

    auto* picker = new QWidget(clientBox);
    picker->setObjectName("clientPicker");
    picker->setAccessibleName(q(texts::clientPickerLabel));
    auto* segmentsRow = new QHBoxLayout(picker);
    segmentsRow->setContentsMargins(0, 0, 0, 0);
    segmentsRow->setSpacing(0);
    auto* group = new QButtonGroup(picker);
    group->setExclusive(true);
    for (const AgentClient client : segmentClients) {
        auto* segment = makeButton("clientSegment", q(setup::title(client)), picker);
        segment->setObjectName(QString("segment_") + q(setup::rawValue(client)));
        segment->setCheckable(true);
        segmentsRow->addWidget(segment);
        group->addButton(segment);
        segments_[client] = segment;
        QObject::connect(segment, &QPushButton::clicked, this,
                         [this, client] { model_->setClient(client); });
    }
    moreSegment_ = makeButton("segment_more", q(texts::moreClients), picker);
    moreSegment_->setCheckable(true);
    segmentsRow->addWidget(moreSegment_);
    group->addButton(moreSegment_);
    moreMenu_ = new QMenu(moreSegment_);
    moreMenu_->setObjectName("moreMenu");
    for (const setup::ClientDescription& row : setup::clientTable) {
        if (segments_.contains(row.client)) continue;
        QAction* action = moreMenu_->addAction(q(row.title));
        action->setObjectName(QString("menu_") + q(row.raw));
        QObject::connect(action, &QAction::triggered, this,
                         [this, client = row.client] { model_->setClient(client); });
    }
    QObject::connect(moreSegment_, &QPushButton::clicked, this, [this] {
        // Opening the menu chooses nothing yet: the chosen client's segment stays checked.
        render();
        moreMenu_->popup(moreSegment_->mapToGlobal(QPoint(0, moreSegment_->height())));
    });
    clientColumn->addWidget(picker);

    cliRow_ = new QWidget(clientBox);
    cliRow_->setObjectName("cliRow");
    auto* cliLayout = new QHBoxLayout(cliRow_);
    cliLayout->setContentsMargins(0, 0, 0, 0);
    cliStatus_ = makeLabel("cliStatus", cliRow_);
    chooseTool_ = makeButton("chooseTool", q(texts::chooseTool), cliRow_);
    cliLayout->addWidget(cliStatus_);
    cliLayout->addStretch();
    cliLayout->addWidget(chooseTool_);
    QObject::connect(chooseTool_, &QPushButton::clicked, this, [this] { model_->chooseCLI(); });
    clientColumn->addWidget(cliRow_);

    installHint_ = makeLabel("installHint", clientBox);
    installHint_->setWordWrap(true);
    clientColumn->addWidget(installHint_);
    column->addWidget(clientBox);

    // Folder box.
    auto* folderBox = new QGroupBox(this);
    folderBox->setObjectName("folderBox");
    auto* folderColumn = new QVBoxLayout(folderBox);
    folderColumn->setContentsMargins(10, 10, 10, 10);
    folderColumn->setSpacing(12);
    auto* folderRow = new QHBoxLayout;
    folderHeading_ = makeLabel("folderHeading", folderBox, q(texts::folderHeading));
    chooseFolder_ = makeButton("chooseFolder", q(texts::chooseFolderButton), folderBox);
    folderRow->addWidget(folderHeading_);
    folderRow->addStretch();
    folderRow->addWidget(chooseFolder_);
    QObject::connect(chooseFolder_, &QPushButton::clicked, this,
                     [this] { model_->chooseFolder(); });
    folderColumn->addLayout(folderRow);
    folderLine_ = new PathLine(3, folderBox);
    folderLine_->setObjectName("folderLine");
    folderColumn->addWidget(folderLine_);
    folderHint_ = makeLabel("folderHint", folderBox, q(texts::folderHint));
    folderHint_->setWordWrap(true);
    folderColumn->addWidget(folderHint_);
    column->addWidget(folderBox);

    // Outcome block: the receipt, or one line.
    receiptBlock_ = new QWidget(this);
    receiptBlock_->setObjectName("receiptBlock");
    auto* receiptColumn = new QVBoxLayout(receiptBlock_);
    receiptColumn->setContentsMargins(0, 0, 0, 0);
    receiptColumn->setSpacing(8);
    auto* labelRow = new QHBoxLayout;
    labelRow->setSpacing(6);
    receiptSymbol_ = makeLabel("receiptSymbol", receiptBlock_);
    receiptLabel_ = makeLabel("receiptLabel", receiptBlock_);
    labelRow->addWidget(receiptSymbol_);
    labelRow->addWidget(receiptLabel_);
    labelRow->addStretch();
    receiptColumn->addLayout(labelRow);
    reopenLine_ = makeLabel("reopenLine", receiptBlock_);
    reopenLine_->setWordWrap(true);
    receiptColumn->addWidget(reopenLine_);
    auto* revealRow = new QHBoxLayout;
    revealConfiguration_ =
        makeButton("revealConfiguration", q(texts::revealConfiguration), receiptBlock_);
    revealBackup_ = makeButton("revealBackup", q(texts::revealBackup), receiptBlock_);
    revealRow->addWidget(revealConfiguration_);
    revealRow->addWidget(revealBackup_);
    revealRow->addStretch();
    receiptColumn->addLayout(revealRow);
    QObject::connect(revealConfiguration_, &QPushButton::clicked, this, [this] {
        if (const auto& receipt = model_->receipt()) reveal_(receipt->configuration);
    });
    QObject::connect(revealBackup_, &QPushButton::clicked, this, [this] {
        if (const auto& receipt = model_->receipt(); receipt && receipt->backup)
            reveal_(*receipt->backup);
    });
    column->addWidget(receiptBlock_);

    messageLine_ = makeLabel("messageLine", this);
    messageLine_->setWordWrap(true);
    messageLine_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(messageLine_);

    column->addStretch();
    auto* divider = new QFrame(this);
    divider->setObjectName("divider");
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    column->addWidget(divider);

    // Footer.
    auto* footer = new QHBoxLayout;
    footerHint_ = makeLabel("footerHint", this, q(texts::footerHint));
    spinner_ = new Spinner(this);
    spinner_->setObjectName("spinner");
    mainButton_ = new QPushButton(this);
    mainButton_->setObjectName("mainButton");
    mainButton_->setDefault(true);
    footer->addWidget(footerHint_);
    footer->addStretch();
    footer->addWidget(spinner_);
    footer->addWidget(mainButton_);
    QObject::connect(mainButton_, &QPushButton::clicked, this, [this] { model_->connect(false); });
    column->addLayout(footer);

    // The usual close-window key; closing the window quits the application.
    auto* closeShortcut = new QShortcut(QKeySequence::Close, this);
    QObject::connect(closeShortcut, &QShortcut::activated, this, &QWidget::close);

    // Outside a dialog Return reaches no default button by itself.
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), this);
        QObject::connect(shortcut, &QShortcut::activated, this, [this] {
            if (mainButton_->isEnabled()) mainButton_->animateClick();
        });
    }
}

void SetupWindow::applyStyle() {
    const QFont base = font();
    const QPalette& palette = this->palette();
    const QColor secondary = secondaryColor(palette);

    headerTitle_->setFont(roleFont(base, TextRole::title2));
    for (QLabel* heading : {clientHeading_, folderHeading_, receiptLabel_})
        heading->setFont(roleFont(base, TextRole::headline));
    for (QLabel* caption : {cliStatus_, installHint_, folderHint_, footerHint_})
        caption->setFont(roleFont(base, TextRole::caption));
    folderLine_->setFont(roleFont(base, TextRole::callout));
    // Its Chinese text would stand taller than the Latin titles of the other segments.
    moreSegment_->setFixedHeight(segments_.at(AgentClient::codex)->sizeHint().height());
    // No wider than the widest title of the other segments, so the row keeps to the window.
    const QFontMetrics segmentMetrics(moreSegment_->font());
    moreRoom_ = 0;
    for (const AgentClient each : segmentClients)
        moreRoom_ = std::max(moreRoom_, segmentMetrics.horizontalAdvance(q(setup::title(each))));
    messageLine_->setFont(roleFont(base, TextRole::callout));

    for (QWidget* widget : std::initializer_list<QWidget*>{
             headerSubtitle_, cliStatus_, installHint_, folderLine_, folderHint_, footerHint_})
        setTextColor(widget, secondary);
    setTextColor(receiptLabel_, greenColor(palette));

    const qreal ratio = devicePixelRatioF();
    headerSymbol_->setPixmap(waveformCircle(44, accentColor(palette), ratio));
    const int check = QFontMetrics(receiptLabel_->font()).height();
    receiptSymbol_->setPixmap(checkmarkCircle(check, greenColor(palette), ratio));
    setWindowIcon(QIcon(waveformCircle(64, accentColor(palette), 1.0)));
    render();
}

void SetupWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (!model_) return;
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange ||
        event->type() == QEvent::StyleChange)
        applyStyle();
}

void SetupWindow::render() {
    if (!mainButton_) return;
    const SetupModel& model = *model_;
    const AgentClient client = model.client();
    const QString title = q(setup::title(client));

    const bool inMenu = !segments_.contains(client);
    QPushButton* chosen = inMenu ? moreSegment_ : segments_.at(client);
    chosen->setChecked(true);  // the group is exclusive: this unchecks the others
    std::vector<QPushButton*> all{moreSegment_};
    for (const auto& [each, segment] : segments_) all.push_back(segment);
    for (QPushButton* segment : all) {
        // The chosen segment in the accent colour, as a segmented control shows it.
        QPalette look = palette();
        if (segment == chosen) {
            look.setColor(QPalette::Button, accentColor(look));
            look.setColor(QPalette::ButtonText, look.color(QPalette::HighlightedText));
        }
        segment->setPalette(look);
    }
    moreSegment_->setText(inMenu ? QFontMetrics(moreSegment_->font()).elidedText(title, Qt::ElideRight, moreRoom_) +
                                       q(texts::moreChosenSuffix)
                                 : q(texts::moreClients));
    moreSegment_->setToolTip(inMenu ? title : QString());

    const bool tool = setup::toolOf(client) != nullptr;
    cliRow_->setVisible(tool);
    installHint_->setVisible(!tool);
    cliStatus_->setText(q(model.cli() ? texts::cliFoundPrefix : texts::cliNotFoundPrefix) + title +
                        q(texts::cliSuffix));
    installHint_->setText(q(texts::installHintPrefix) + title + q(texts::installHintSuffix));

    folderLine_->setPath(model.folder() ? q(*model.folder()) : q(texts::folderPlaceholder));

    const auto& receipt = model.receipt();
    receiptBlock_->setVisible(receipt.has_value());
    messageLine_->setVisible(!receipt.has_value());
    if (receipt) {
        receiptLabel_->setText(q(receipt->changed ? texts::savedLabel : texts::readyLabel));
        reopenLine_->setText(q(texts::reopenPrefix) + title + q(texts::reopenSuffix));
        revealBackup_->setVisible(receipt->backup.has_value());
    } else if (const auto& message = model.message()) {
        messageLine_->setText(q(std::string_view(*message)));
        setTextColor(messageLine_, redColor(palette()));
    } else {
        messageLine_->setText(q(texts::reassurance));
        setTextColor(messageLine_, secondaryColor(palette()));
    }

    spinner_->setVisible(model.busy());
    mainButton_->setText(model.busy() ? q(texts::busyButton) : q(texts::connectPrefix) + title);
    mainButton_->setEnabled(!model.busy() && model.folder().has_value() &&
                            (!tool || model.cli().has_value()));

    if (model.conflict() && !(alert_ && alert_->isVisible())) {
        showConflictAlert();
    } else if (!model.conflict() && alert_ && alert_->isVisible()) {
        alert_->hide();
    }
}

void SetupWindow::showConflictAlert() {
    if (!alert_) {
        alert_ = new QMessageBox(this);
        alert_->setObjectName("conflictAlert");
        alert_->setIcon(QMessageBox::Warning);
        alert_->setWindowTitle(q(texts::conflictTitle));
        alert_->setText(q(texts::conflictTitle));
        alert_->setInformativeText(q(texts::conflictMessage));
        alert_->setTextFormat(Qt::PlainText);
        // Qt's box has no alert title style of its own: a bold headline over a message
        // wide enough to read as two or three lines.
        if (auto* headline = alert_->findChild<QLabel*>("qt_msgbox_label")) {
            headline->setFont(roleFont(font(), TextRole::headline));
        }
        alert_->setStyleSheet("QLabel#qt_msgbox_informativelabel { min-width: 340px; }");
        QPushButton* cancel = alert_->addButton(q(texts::conflictCancel), QMessageBox::RejectRole);
        cancel->setObjectName("conflictCancel");
        QPushButton* replace =
            alert_->addButton(q(texts::conflictReplace), QMessageBox::DestructiveRole);
        replace->setObjectName("conflictReplace");
        alertReplace_ = replace;
        alert_->setDefaultButton(cancel);
        alert_->setEscapeButton(cancel);
        QObject::connect(alert_, &QMessageBox::finished, this,
                         [this] { answerConflict(alert_->clickedButton() == alertReplace_); });
    }
    alert_->open();
}

void SetupWindow::answerConflict(bool replace) {
    // Either answer closes the question; only the destructive one runs again.
    model_->setConflict(false);
    if (replace) model_->connect(true);
}

}  // namespace quillmere::app
