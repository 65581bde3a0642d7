#include "status_item.h"

#include "status_menu.h"
#include "status_notifier_item.h"
#include "view_logic.h"

#include <QCursor>
#include <QDBusServiceWatcher>
#include <QGuiApplication>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>

#include <functional>
#include <utility>

namespace {

// How long the watcher may take to say whether a host is there; the
// fallback stands meanwhile only if it does not answer.
constexpr int kAskMs = 500;
// A watcher that goes away is often a panel restarting: the item waits this
// long before it stands in something else.
constexpr int kSettleMs = 3000;

class TrayStatusItem final : public StatusItem {
public:
    // menuOnClick: the system shows a tray menu on every click (the macOS
    // menu bar), so the menu is kept off the item, where it would stand in
    // the popover's way, and opened on a secondary click only.
    TrayStatusItem(const QIcon& icon, const QString& accessibleName, bool menuOnClick = false)
        : m_name(accessibleName)
        , m_menuOnClick(menuOnClick)
    {
        m_tray.setIcon(icon);
        m_tray.setToolTip(accessibleName);
        connect(&m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                emit clicked();
            else if (reason == QSystemTrayIcon::MiddleClick)
                emit secondaryClicked();
            else if (reason == QSystemTrayIcon::Context && m_menuOnClick && m_menu)
                m_menu->menu()->popup(QCursor::pos());
        });
        m_tray.show();
    }

    QRect geometry() const override { return m_tray.geometry(); }
    void setToolTip(const QString& text) override { m_tray.setToolTip(m_name + QLatin1Char('\n') + text); }
    void setMenu(StatusMenu* menu) override
    {
        m_menu = menu;
        if (!m_menuOnClick)
            m_tray.setContextMenu(menu->menu());
    }
    QString surface() const override { return m_menuOnClick ? QStringLiteral("menu bar") : QStringLiteral("tray icon"); }

private:
    QString m_name;
    bool m_menuOnClick;
    QPointer<StatusMenu> m_menu;
    QSystemTrayIcon m_tray;
};

// The corner button takes what a tray item takes: the wheel, in whole
// notches as a tray host passes them on, and the middle button.
class CornerButton final : public QToolButton {
public:
    std::function<void(int notches)> onScrolled;
    std::function<void()> onMiddleClick;

protected:
    void wheelEvent(QWheelEvent* event) override
    {
        const popover::WheelNotches wheel = popover::wheelNotches(m_pendingDelta, event->angleDelta().y());
        m_pendingDelta = wheel.rest;
        if (wheel.steps != 0 && onScrolled)
            onScrolled(wheel.steps);
        event->accept();
    }
    void mousePressEvent(QMouseEvent* event) override
    {
        if (event->button() == Qt::MiddleButton)
            event->accept();
        else
            QToolButton::mousePressEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent* event) override
    {
        if (event->button() != Qt::MiddleButton) {
            QToolButton::mouseReleaseEvent(event);
            return;
        }
        event->accept();
        if (rect().contains(event->position().toPoint()) && onMiddleClick)
            onMiddleClick();
    }

private:
    int m_pendingDelta = 0;
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
        // A window that never takes the focus is never the active one, and
        // Qt shows tooltips only over active windows unless told otherwise.
        m_button.setAttribute(Qt::WA_AlwaysShowToolTips);
        m_button.setIcon(icon);
        m_button.setIconSize(QSize(20, 20));
        m_button.setAutoRaise(true);
        m_button.setFixedSize(kSize, kSize);
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            m_button.move(area.right() - kSize - kMargin, area.top() + kMargin);
        }
        connect(&m_button, &QToolButton::clicked, this, &StatusItem::clicked);
        m_button.onScrolled = [this](int notches) { emit scrolled(notches); };
        m_button.onMiddleClick = [this] { emit secondaryClicked(); };
        m_button.show();
    }

    QRect geometry() const override { return m_button.frameGeometry(); }
    void setToolTip(const QString& text) override
    {
        m_button.setToolTip(m_button.accessibleName() + QLatin1Char('\n') + text);
    }
    void setMenu(StatusMenu* menu) override
    {
        m_button.setContextMenuPolicy(Qt::CustomContextMenu);
        connect(&m_button, &QWidget::customContextMenuRequested, menu,
                [this, menu](const QPoint& at) { menu->menu()->popup(m_button.mapToGlobal(at)); });
    }
    QString surface() const override { return QStringLiteral("button"); }

private:
    CornerButton m_button;
};

// The best surface the desktop offers now, swapped when a tray host comes or
// goes; what it passes on is the same whichever stands.
class DesktopStatusItem final : public StatusItem {
    Q_OBJECT
public:
    DesktopStatusItem(const QDBusConnection& bus, const QIcon& icon, const QString& name)
        : m_bus(bus)
        , m_icon(icon)
        , m_name(name)
    {
        m_settle.setSingleShot(true);
        m_settle.setInterval(kSettleMs);
        connect(&m_settle, &QTimer::timeout, this, &DesktopStatusItem::check);
        if (!m_bus.isConnected()) {
            choose(false);
            return;
        }
        auto* watch = new QDBusServiceWatcher(StatusNotifierItem::kWatcherService, m_bus,
                                              QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watch, &QDBusServiceWatcher::serviceRegistered, this, &DesktopStatusItem::check);
        connect(watch, &QDBusServiceWatcher::serviceUnregistered, &m_settle, qOverload<>(&QTimer::start));
        // A host that starts after the watcher is announced by it.
        m_bus.connect(StatusNotifierItem::kWatcherService, StatusNotifierItem::kWatcherPath,
                      StatusNotifierItem::kWatcherService, QStringLiteral("StatusNotifierHostRegistered"), this,
                      SLOT(check()));
        check();
    }

    // Empty until the first surface stands, a moment after the start.
    QRect geometry() const override { return m_current ? m_current->geometry() : QRect(); }
    void setToolTip(const QString& text) override
    {
        m_toolTip = text;
        if (m_current)
            m_current->setToolTip(text);
    }
    void setMenu(StatusMenu* menu) override
    {
        m_menu = menu;
        if (m_current)
            m_current->setMenu(menu);
    }
    QString surface() const override { return m_current ? m_current->surface() : QString(); }

private slots:
    // Asks the watcher without waiting: it may be slow, or this very process.
    void check()
    {
        if (m_asking) {
            m_askAgain = true;
            return;
        }
        m_asking = true;
        StatusNotifierItem::askForHost(m_bus, kAskMs, this, [this](bool host) {
            m_asking = false;
            if (std::exchange(m_askAgain, false)) {
                check();
                return;
            }
            choose(host);
        });
    }

private:
    void choose(bool host)
    {
        std::unique_ptr<StatusItem> next;
        if (host) {
            if (qobject_cast<StatusNotifierItem*>(m_current.get()))
                return;
            auto item = std::make_unique<StatusNotifierItem>(m_bus, m_icon, m_name);
            if (item->isExported())
                next = std::move(item);
        }
        if (!next) {
            if (m_current && !qobject_cast<StatusNotifierItem*>(m_current.get()))
                return;
            if (QSystemTrayIcon::isSystemTrayAvailable())
                next = std::make_unique<TrayStatusItem>(m_icon, m_name);
            else
                next = std::make_unique<ButtonStatusItem>(m_icon, m_name);
        }
        connect(next.get(), &StatusItem::clicked, this, &StatusItem::clicked);
        connect(next.get(), &StatusItem::scrolled, this, &StatusItem::scrolled);
        connect(next.get(), &StatusItem::secondaryClicked, this, &StatusItem::secondaryClicked);
        if (!m_toolTip.isEmpty())
            next->setToolTip(m_toolTip);
        if (m_menu)
            next->setMenu(m_menu);
        m_current = std::move(next);
        qInfo("[ravlet] in the tray: %s", qPrintable(m_current->surface()));
    }

private:
    QDBusConnection m_bus;
    QIcon m_icon;
    QString m_name;
    QString m_toolTip;
    QPointer<StatusMenu> m_menu;
    QTimer m_settle;
    bool m_asking = false;
    bool m_askAgain = false;
    std::unique_ptr<StatusItem> m_current;
};

} // namespace

std::unique_ptr<StatusItem> StatusItem::create(const QIcon& icon, const QString& accessibleName)
{
    return create(icon, accessibleName, QDBusConnection::sessionBus());
}

std::unique_ptr<StatusItem> StatusItem::create(const QIcon& icon, const QString& accessibleName,
                                               const QDBusConnection& bus)
{
    return std::make_unique<DesktopStatusItem>(bus, icon, accessibleName);
}

std::unique_ptr<StatusItem> StatusItem::createMenuBarItem(const QIcon& icon, const QString& accessibleName)
{
    return std::make_unique<TrayStatusItem>(icon, accessibleName, true);
}

#include "status_item.moc"
