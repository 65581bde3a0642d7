#include "popover_window.h"

#include "engine.h"
#include "popover.h"

#if defined(Q_OS_MACOS)
#include "key_panel.h"
#endif

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQuickItem>
#include <QScreen>

namespace {

constexpr int kGap = 4;
constexpr int kFadeMs = 120;
// The fade starts where the popover can already be read, so that a compositor
// shows it from the first frame rather than a frame or more later.
constexpr qreal kFadeFrom = 0.5;
constexpr qint64 kReopenGuardMs = 300;

} // namespace

PopoverWindow::PopoverWindow(RavletEngine& engine, QObject* updater, QObject* startAtLogin, QObject* parent)
    : QObject(parent)
    , m_engine(engine)
    , m_updater(updater)
    , m_startAtLogin(startAtLogin)
    , m_fade(&m_window, "opacity")
{
    m_window.setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    m_window.setTitle(QStringLiteral("Ravlet"));
    m_window.setColor(Qt::transparent);

    m_fade.setDuration(kFadeMs);
    m_fade.setStartValue(kFadeFrom);
    m_fade.setEndValue(1.0);

    // Transient: a click anywhere else takes the activation away and closes it.
    connect(&m_window, &QWindow::activeChanged, this, [this] {
        if (!m_window.isActive() && m_window.isVisible()) {
            m_closedByDeactivation.start();
            close();
        }
    });
}

QQuickItem* PopoverWindow::root()
{
    if (m_root || m_loadFailed)
        return m_root.get();
    // The window follows the size the root reports, never the other way
    // round, so that a report of 0 × 0 before layout leaves it alone.
    const QScreen* screen = QGuiApplication::primaryScreen();
    m_qml = std::make_unique<QQmlEngine>();
    popover::prepareEngine(*m_qml);
    QQmlComponent component(m_qml.get(), popover::contentViewUrl());
    // Qt 6.4 crashes when asked to create a component that failed to load
    // (a QML module missing from the system, say), so only a ready one is.
    QObject* created = !component.isReady() ? nullptr : component.createWithInitialProperties({
        {QStringLiteral("engine"), QVariant::fromValue(&m_engine)},
        {QStringLiteral("updater"), QVariant::fromValue(m_updater)},
        {QStringLiteral("startAtLogin"), QVariant::fromValue(m_startAtLogin)},
        {QStringLiteral("rowHeight"), kRowHeight},
        {QStringLiteral("screenAvailableHeight"), screen ? qreal(screen->availableGeometry().height()) : 0.0},
        {QStringLiteral("dark"), m_dark},
    });
    m_root.reset(qobject_cast<QQuickItem*>(created));
    if (!m_root) {
        delete created;
        m_loadFailed = true;
        qWarning("[ravlet] the popover could not be loaded: %s", qPrintable(component.errorString()));
        return nullptr;
    }
    m_root->setParentItem(m_window.contentItem());
    // The keys reach the mixer from the moment it opens.
    m_root->setFocus(true);
    connect(m_root.get(), SIGNAL(sizeReported(qreal, qreal)), this, SLOT(applySize(qreal, qreal)));
    connect(m_root.get(), SIGNAL(updateRequested(QString, QString)), this, SIGNAL(updateRequested(QString, QString)));
    connect(m_root.get(), SIGNAL(quitRequested()), this, SIGNAL(quitRequested()));
    connect(m_root.get(), SIGNAL(closeRequested()), this, SLOT(close()));
    applySize(m_root->width(), m_root->height());
    return m_root.get();
}

// The root view goes before the engine that made it and the window whose
// scene holds it.
PopoverWindow::~PopoverWindow()
{
    m_root.reset();
    m_qml.reset();
}

// The first opening would otherwise also make the native window between the
// click and the first frame, a round trip to the window system that on a busy
// machine waits its turn. The scene is not drawn ahead: drawn off screen, its
// nodes, glyphs and window buffer (2.6 MiB) would stay for as long as Ravlet
// runs, most often unopened, to save 4 ms of the first opening.
void PopoverWindow::prepare()
{
    if (m_window.isVisible())
        return;
    m_window.create();
}

bool PopoverWindow::justClosedByClickOutside() const
{
    return m_closedByDeactivation.isValid() && m_closedByDeactivation.elapsed() < kReopenGuardMs;
}

void PopoverWindow::show(const QRect& anchor)
{
    root();
    m_anchor = anchor;
    place(anchor);
    m_window.setOpacity(kFadeFrom);
    m_window.show();
    m_window.raise();
#if defined(Q_OS_MACOS)
    makeKeyPanel(m_window);
#endif
    m_window.requestActivate();
    m_fade.start();
}

void PopoverWindow::setDark(bool dark)
{
    m_dark = dark;
    if (m_root)
        m_root->setProperty("dark", dark);
}

void PopoverWindow::close()
{
    m_fade.stop();
    m_window.hide();
}

void PopoverWindow::applySize(qreal width, qreal height)
{
    if (width <= 1 || height <= 1)
        return;
    m_window.resize(qCeil(width), qCeil(height));
    if (m_window.isVisible())
        place(m_anchor);
}

// Below the status item, or above it when it sits on a bottom panel, kept on
// the screen.
void PopoverWindow::place(const QRect& anchor)
{
    QScreen* screen = anchor.isValid() ? QGuiApplication::screenAt(anchor.center()) : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QRect from = anchor.isValid() ? anchor : QRect(area.right() - 1, area.top(), 1, 0);
    const bool above = from.center().y() > area.center().y();
    // The mixer's height is capped by the screen's visible height, less its
    // margin (the root takes that off); the item sits on a panel outside
    // that area, so the popover fits beside it.
    if (m_root)
        m_root->setProperty("screenAvailableHeight", qreal(area.height()));
    const QSize size = m_window.size();
    int x = from.center().x() - size.width() / 2;
    int y = above ? from.top() - kGap - size.height() : from.bottom() + kGap;
    x = std::clamp(x, area.left(), std::max(area.left(), area.right() - size.width()));
    y = std::clamp(y, area.top(), std::max(area.top(), area.bottom() - size.height()));
    m_window.setPosition(x, y);
}
