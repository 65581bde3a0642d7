#include "status_item.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QToolButton>

namespace {

class TrayStatusItem final : public StatusItem {
public:
    TrayStatusItem(const QIcon& icon, const QString& accessibleName)
    {
        m_tray.setIcon(icon);
        m_tray.setToolTip(accessibleName);
        connect(&m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                emit clicked();
        });
        m_tray.show();
    }

    QRect geometry() const override { return m_tray.geometry(); }

private:
    QSystemTrayIcon m_tray;
};

class ButtonStatusItem final : public StatusItem {
public:
    ButtonStatusItem(const QIcon& icon, const QString& accessibleName)
    {
        constexpr int kSize = 32;
        constexpr int kMargin = 8;
        m_button.setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
                                | Qt::WindowDoesNotAcceptFocus);
        m_button.setWindowTitle(accessibleName);
        m_button.setAccessibleName(accessibleName);
        m_button.setToolTip(accessibleName);
        m_button.setIcon(icon);
        m_button.setIconSize(QSize(20, 20));
        m_button.setAutoRaise(true);
        m_button.setFixedSize(kSize, kSize);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            m_button.move(area.right() - kSize - kMargin, area.top() + kMargin);
        }
        connect(&m_button, &QToolButton::clicked, this, &StatusItem::clicked);
        m_button.show();
    }

    QRect geometry() const override { return m_button.frameGeometry(); }

private:
    QToolButton m_button;
};

} // namespace

std::unique_ptr<StatusItem> StatusItem::create(const QIcon& icon, const QString& accessibleName)
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        return std::make_unique<TrayStatusItem>(icon, accessibleName);
    return std::make_unique<ButtonStatusItem>(icon, accessibleName);
}
