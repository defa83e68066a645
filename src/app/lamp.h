#pragma once

#include <QColor>
#include <QWidget>

namespace lan2com {

// A channel's status lamp (k1 … k16): a small filled rounded rectangle, hidden at creation.
class ChannelLamp final : public QWidget {
  public:
    static constexpr int kWidth = 15;
    static constexpr int kHeight = 10;

    explicit ChannelLamp(QWidget* parent = nullptr);

    QColor color() const { return color_; }
    void setColor(const QColor& color);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QColor color_;
};

}  // namespace lan2com
