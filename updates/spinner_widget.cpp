#include "spinner_widget.h"

#include <QPainter>

#include <algorithm>

SpinnerWidget::SpinnerWidget(QWidget* parent)
    : QWidget(parent)
{
    setFixedSize(sizeHint());
    m_timer.setInterval(1000 / kSpokes);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_step = (m_step + 1) % kSpokes;
        update();
    });
    m_timer.start();
}

void SpinnerWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const qreal radius = std::min(width(), height()) / 2.0;
    QColor color = palette().color(QPalette::WindowText);
    for (int i = 0; i < kSpokes; ++i) {
        // The spoke at m_step is opaque; the ones behind it fade out.
        const int age = (m_step - i + kSpokes) % kSpokes;
        color.setAlphaF(1.0 - 0.75 * age / (kSpokes - 1));
        painter.setPen(QPen(color, radius / 4.0, Qt::SolidLine, Qt::RoundCap));
        painter.save();
        painter.rotate(i * 360.0 / kSpokes);
        painter.drawLine(QPointF(0, -radius * 0.45), QPointF(0, -radius * 0.85));
        painter.restore();
    }
}
