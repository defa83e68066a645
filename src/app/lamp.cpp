#include "app/lamp.h"

#include <QPainter>
#include <QTimer>

namespace lan2com {

ChannelLamp::ChannelLamp(QWidget* parent) : QWidget(parent), color_(0, 255, 0) {
    setFixedSize(kWidth, kHeight);
    setAttribute(Qt::WA_TranslucentBackground);
    hide();
}

void ChannelLamp::setColor(const QColor& color) {
    if (color != color_) {
        color_ = color;
        repaintSoon();
    }
}

void ChannelLamp::repaintSoon() {
    if (repaintDue_) {
        return;  // the scheduled repaint shows the colour as it is by then
    }
    const qint64 since = lastRepaint_.isValid() ? lastRepaint_.elapsed() : kRepaintMs;
    if (since >= kRepaintMs) {
        lastRepaint_.start();
        update();
        return;
    }
    repaintDue_ = true;
    QTimer::singleShot(static_cast<int>(kRepaintMs - since), this, [this] {
        repaintDue_ = false;
        lastRepaint_.start();
        update();
    });
}

void ChannelLamp::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(color_);
    // Half a pixel in, so that the one-pixel outline lies on whole pixels.
    painter.drawRoundedRect(QRectF(0.5, 0.5, kWidth - 1, kHeight - 1), 3, 3);
}

}  // namespace lan2com
