#pragma once

#include <QColor>
#include <QPixmap>
#include <QTextEdit>
#include <QWidget>

class QTimer;

namespace quillmere::app {

// The window's two symbols, painted rather than loaded so they take any palette colour
// and stay sharp at every scale. `size` is in device-independent pixels.
// A filled circle holding five white sound-wave bars (the header).
QPixmap waveformCircle(int size, const QColor& color, qreal devicePixelRatio);
// A filled circle holding a white check mark (the outcome label).
QPixmap checkmarkCircle(int size, const QColor& color, qreal devicePixelRatio);

// A small indeterminate progress indicator: twelve spokes that turn while the widget is
// visible, in the palette's text colour.
class Spinner : public QWidget {
  public:
    explicit Spinner(QWidget* parent = nullptr);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    QTimer* timer_;
    int step_ = 0;
};

// A read-only, selectable line of text (a file-system path) that wraps anywhere, since
// paths have no spaces to wrap at, and grows to at most maxLines lines. A longer path
// is elided in the middle, where "…" shows that something is left out, and its
// tooltip holds the whole path. Unlike a QLabel, copying a selection of a path that
// fits gives exactly the path.
class PathLine : public QTextEdit {
  public:
    explicit PathLine(int maxLines, QWidget* parent = nullptr);
    void setPath(const QString& text);
    // The whole path, however it is shown.
    QString path() const { return path_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void layOut();
    bool showFits(const QString& shown);
    QString path_;
    int maxLines_;
};

}  // namespace quillmere::app
