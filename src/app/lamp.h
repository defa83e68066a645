#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QWidget>

namespace lan2com {

// A channel's status lamp (k1 … k16): a small filled rounded rectangle, hidden at creation.
//
// The colour changes at once; the lamp is repainted at most every kRepaintMs. Under load a lamp
// changes colour thousands of times a second, which no eye follows, while every repaint takes the
// main thread's time from the events it relays. A change after a quiet spell is shown at once, and
// the last colour of a burst always reaches the screen.
class ChannelLamp final : public QWidget {
  public:
    static constexpr int kWidth = 15;
    static constexpr int kHeight = 10;
    static constexpr int kRepaintMs = 40;

    explicit ChannelLamp(QWidget* parent = nullptr);

    QColor color() const { return color_; }
    void setColor(const QColor& color);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void repaintSoon();

    QColor color_;
    QElapsedTimer lastRepaint_;  // when the last repaint was asked for
    bool repaintDue_ = false;    // a repaint is scheduled for the end of the present spell
};

}  // namespace lan2com
