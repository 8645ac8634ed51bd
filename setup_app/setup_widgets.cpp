#include "setup_app/setup_widgets.h"

#include <QAbstractTextDocumentLayout>
#include <QPainter>
#include <QPainterPath>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <cmath>

namespace quillmere::app {
namespace {

constexpr int spokes = 12;

QPixmap canvas(int size, qreal devicePixelRatio) {
    QPixmap pixmap(QSize(size, size) * devicePixelRatio);
    pixmap.setDevicePixelRatio(devicePixelRatio);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

}  // namespace

QPixmap waveformCircle(int size, const QColor& color, qreal devicePixelRatio) {
    QPixmap pixmap = canvas(size, devicePixelRatio);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QRectF(0, 0, size, size));

    // Five rounded bars, tallest in the middle, as a sound wave.
    const qreal heights[] = {0.22, 0.40, 0.56, 0.40, 0.22};
    const qreal bar = size * 0.075;
    const qreal gap = size * 0.06;
    const qreal total = 5 * bar + 4 * gap;
    qreal x = (size - total) / 2;
    painter.setBrush(Qt::white);
    for (const qreal h : heights) {
        const qreal height = h * size;
        painter.drawRoundedRect(QRectF(x, (size - height) / 2, bar, height), bar / 2, bar / 2);
        x += bar + gap;
    }
    return pixmap;
}

QPixmap checkmarkCircle(int size, const QColor& color, qreal devicePixelRatio) {
    QPixmap pixmap = canvas(size, devicePixelRatio);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawEllipse(QRectF(0, 0, size, size));

    QPainterPath tick;
    tick.moveTo(size * 0.28, size * 0.52);
    tick.lineTo(size * 0.44, size * 0.67);
    tick.lineTo(size * 0.72, size * 0.36);
    QPen pen(Qt::white, std::max<qreal>(1.5, size * 0.11), Qt::SolidLine, Qt::RoundCap,
             Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(tick);
    return pixmap;
}

Spinner::Spinner(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
    timer_->setInterval(80);
    QObject::connect(timer_, &QTimer::timeout, this, [this] {
        step_ = (step_ + 1) % spokes;
        update();
    });
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize Spinner::sizeHint() const {
    return {16, 16};
}

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(width(), height());
    painter.translate(width() / 2.0, height() / 2.0);
    QColor color = palette().color(QPalette::WindowText);
    for (int i = 0; i < spokes; ++i) {
        // The spoke at the current step is darkest; the ones behind it fade out.
        const int age = (step_ - i + spokes) % spokes;
        color.setAlphaF(1.0 - 0.75 * age / spokes);
        painter.setPen(QPen(color, side * 0.11, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(QPointF(0, -side * 0.24), QPointF(0, -side * 0.45));
        painter.rotate(360.0 / spokes);
    }
}

void Spinner::showEvent(QShowEvent*) {
    timer_->start();
}

void Spinner::hideEvent(QHideEvent*) {
    timer_->stop();
}

PathLine::PathLine(int maxLines, QWidget* parent) : QTextEdit(parent), maxLines_(maxLines) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    viewport()->setAutoFillBackground(false);
    setStyleSheet("QTextEdit { background: transparent; }");
    document()->setDocumentMargin(0);
    layOut();
}

void PathLine::setPath(const QString& text) {
    if (text == path_) return;
    path_ = text;
    setToolTip(text);
    layOut();
}

void PathLine::resizeEvent(QResizeEvent* event) {
    QTextEdit::resizeEvent(event);
    layOut();
}

bool PathLine::showFits(const QString& shown) {
    setPlainText(shown);
    const int content = static_cast<int>(std::ceil(document()->size().height()));
    return content <= fontMetrics().lineSpacing() * maxLines_;
}

void PathLine::layOut() {
    document()->setTextWidth(viewport()->width());
    if (!showFits(path_)) {
        // The most characters, split evenly around "…", that still fit.
        auto elided = [this](qsizetype kept) {
            qsizetype head = (kept + 1) / 2, tail = kept / 2;
            // Never split a surrogate pair.
            if (head > 0 && path_[head - 1].isHighSurrogate()) --head;
            if (tail > 0 && path_[path_.size() - tail].isLowSurrogate()) --tail;
            return path_.left(head) + QChar(0x2026) + path_.right(tail);
        };
        qsizetype low = 0, high = path_.size() - 1;
        while (low < high) {
            const qsizetype middle = (low + high + 1) / 2;
            if (showFits(elided(middle))) low = middle;
            else high = middle - 1;
        }
        showFits(elided(low));
    }
    const int line = fontMetrics().lineSpacing();
    const int content = static_cast<int>(std::ceil(document()->size().height()));
    setFixedHeight(std::clamp(content, line, line * maxLines_) + 2 * frameWidth());
}

}  // namespace quillmere::app
