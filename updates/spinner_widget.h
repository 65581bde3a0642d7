#pragma once

#include <QTimer>
#include <QWidget>

// A small spinning progress indicator: twelve spokes, the brightest one
// going round.
class SpinnerWidget : public QWidget {
public:
    explicit SpinnerWidget(QWidget* parent = nullptr);

    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    static constexpr int kSpokes = 12;
    QTimer m_timer;
    int m_step = 0;
};
