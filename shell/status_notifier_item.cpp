#include "status_notifier_item.h"

#include "dbus_menu.h"
#include "view_logic.h"

#include <QCoreApplication>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QStandardPaths>
#include <QtEndian>

namespace {

const QString kSymbolicIconFile = QStringLiteral("hicolor/symbolic/apps/%1.svg");
const QString kGnomeShell = QStringLiteral("org.gnome.Shell");

} // namespace

namespace sni {

Pixmaps pixmapsOf(const QIcon& icon)
{
    Pixmaps pixmaps;
    for (const QSize& size : icon.availableSizes()) {
        const QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        Pixmap pixmap{image.width(), image.height(), QByteArray(image.width() * image.height() * 4, Qt::Uninitialized)};
        auto* out = reinterpret_cast<quint32*>(pixmap.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *out++ = qToBigEndian(quint32(line[x]));
        }
        pixmaps.append(pixmap);
    }
    return pixmaps;
}

void registerTypes()
{
    qDBusRegisterMetaType<Pixmap>();
    qDBusRegisterMetaType<Pixmaps>();
    qDBusRegisterMetaType<ToolTip>();
}

} // namespace sni

QDBusArgument& operator<<(QDBusArgument& argument, const sni::Pixmap& pixmap)
{
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.argb;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, sni::Pixmap& pixmap)
{
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.argb;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const sni::ToolTip& toolTip)
{
    argument.beginStructure();
    argument << toolTip.iconName << toolTip.pixmaps << toolTip.title << toolTip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, sni::ToolTip& toolTip)
{
    argument.beginStructure();
    argument >> toolTip.iconName >> toolTip.pixmaps >> toolTip.title >> toolTip.text;
    argument.endStructure();
    return argument;
}

// What the hosts see: the org.kde.StatusNotifierItem interface.
class StatusNotifierService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(sni::Pixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(sni::Pixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ none)
    Q_PROPERTY(sni::Pixmaps AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(sni::ToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
public:
    StatusNotifierService(StatusNotifierItem& item, const QIcon& icon, const QString& title)
        : QObject(&item)
        , m_item(item)
        , m_title(title)
        , m_themed(StatusNotifierItem::installedSymbolicIcon())
        , m_pixmaps(sni::pixmapsOf(icon))
    {
    }

    QString category() const { return QStringLiteral("Hardware"); }
    QString id() const { return QStringLiteral("ravlet"); }
    QString title() const { return m_title; }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconThemePath() const { return m_themed.themePath; }
    QString iconName() const { return m_themed.name; }
    sni::Pixmaps iconPixmap() const { return m_pixmaps; }
    QString none() const { return {}; }
    sni::Pixmaps noPixmaps() const { return {}; }
    sni::ToolTip toolTip() const { return {m_themed.name, m_themed.name.isEmpty() ? m_pixmaps : sni::Pixmaps{}, m_title, m_toolTip}; }
    bool itemIsMenu() const { return false; }
    // The protocol's way of saying that there is none.
    QDBusObjectPath menu() const
    {
        return QDBusObjectPath(m_item.m_hasMenu ? StatusNotifierItem::kMenuPath : QStringLiteral("/NO_DBUSMENU"));
    }

    void setToolTip(const QString& text)
    {
        if (text == m_toolTip)
            return;
        m_toolTip = text;
        emit NewToolTip();
    }

public slots:
    void Activate(int x, int y) { m_item.activate(x, y); }
    // Hosts that draw no menu send the right button here.
    void ContextMenu(int x, int y) { m_item.activate(x, y); }
    void SecondaryActivate(int, int) { emit m_item.secondaryClicked(); }
    void Scroll(int delta, const QString& orientation)
    {
        m_item.scroll(calledFromDBus() ? message().service() : QString(), delta, orientation);
    }

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    StatusNotifierItem& m_item;
    QString m_title;
    StatusNotifierItem::ThemedIcon m_themed;
    sni::Pixmaps m_pixmaps;
    QString m_toolTip;
};

StatusNotifierItem::StatusNotifierItem(const QDBusConnection& bus, const QIcon& icon, const QString& title,
                                       QObject* parent)
    : StatusItem(parent)
    , m_bus(bus)
{
    sni::registerTypes();
    // The name the protocol asks for; the count keeps a second item of the
    // same process (a switch of surfaces) from colliding with the first.
    static int items = 0;
    m_serviceName = QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(QCoreApplication::applicationPid()).arg(++items);
    m_service = new StatusNotifierService(*this, icon, title);
    m_exported = m_bus.registerObject(kItemPath, m_service,
                                      QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties
                                          | QDBusConnection::ExportAllSignals)
        && m_bus.registerService(m_serviceName);
    if (!m_exported) {
        qWarning("[ravlet] the tray item could not be put on the session bus: %s",
                 qPrintable(m_bus.lastError().message()));
        return;
    }
    followGnomeShell();
    // A watcher that starts later, or again, knows nothing of the item.
    auto* watch = new QDBusServiceWatcher(kWatcherService, m_bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watch, &QDBusServiceWatcher::serviceRegistered, this, &StatusNotifierItem::registerWithWatcher);
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem()
{
    if (!m_exported)
        return;
    m_bus.unregisterObject(kItemPath);
    if (m_hasMenu)
        m_bus.unregisterObject(kMenuPath);
    m_bus.unregisterService(m_serviceName);
}

void StatusNotifierItem::setMenu(StatusMenu* menu)
{
    if (!m_exported || m_hasMenu)
        return;
    m_hasMenu = m_bus.registerObject(kMenuPath, new DBusMenuExporter(menu, this), QDBusConnection::ExportAllContents);
}

void StatusNotifierItem::setToolTip(const QString& text)
{
    m_service->setToolTip(text);
}

void StatusNotifierItem::askForHost(const QDBusConnection& bus, int timeoutMs, QObject* receiver,
                                    const std::function<void(bool)>& then)
{
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection(bus).asyncCall(get, timeoutMs), receiver);
    QObject::connect(pending, &QDBusPendingCallWatcher::finished, receiver, [then](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusMessage reply = call->reply();
        then(reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
             && reply.arguments().constFirst().value<QDBusVariant>().variant().toBool());
    });
}

StatusNotifierItem::ThemedIcon StatusNotifierItem::installedSymbolicIcon()
{
    const QString file = kSymbolicIconFile.arg(kSymbolicIconName);
    // Beside the program first: an installation under another prefix is not
    // in the data directories.
    QStringList themes{QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/../share/icons"))};
    for (const QString& data : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        themes.append(data + QStringLiteral("/icons"));
    for (const QString& theme : themes) {
        if (QFileInfo(theme + QLatin1Char('/') + file).isFile())
            return {theme, kSymbolicIconName};
    }
    return {};
}

void StatusNotifierItem::registerWithWatcher()
{
    QDBusMessage call = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath, kWatcherService,
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << m_serviceName;
    auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [](QDBusPendingCallWatcher* watcher) {
        watcher->deleteLater();
        // No watcher yet is normal; its arrival registers the item.
        if (watcher->isError() && watcher->error().type() != QDBusError::ServiceUnknown)
            qWarning("[ravlet] the tray did not take the item: %s", qPrintable(watcher->error().message()));
    });
}

void StatusNotifierItem::activate(int x, int y)
{
    // Hosts that do not know where the click was (Wayland's) send 0, 0.
    m_anchor = x == 0 && y == 0 ? QRect() : QRect(x, y, 1, 1);
    emit clicked();
}

// Hosts disagree on the wheel's units. Plasma, and those that follow it,
// pass Qt's angle delta: 120 a notch, positive away from the user. GNOME
// Shell's extension passes Clutter's scroll delta: 1 a notch, positive
// towards the user.
void StatusNotifierItem::scroll(const QString& sender, int delta, const QString& orientation)
{
    if (orientation.compare(QLatin1String("vertical"), Qt::CaseInsensitive) != 0 || delta == 0)
        return;
    int notches = 0;
    if (fromGnomeShell(sender)) {
        notches = -delta;
    } else {
        const popover::WheelNotches wheel = popover::wheelNotches(m_pendingDelta, delta);
        m_pendingDelta = wheel.rest;
        notches = wheel.steps;
    }
    if (notches != 0)
        emit scrolled(notches);
}

void StatusNotifierItem::followGnomeShell()
{
    auto* watch = new QDBusServiceWatcher(kGnomeShell, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watch, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) { m_gnomeShellOwner = owner; });
    // The owner at start, asked without waiting. The bus keeps its order: a
    // change signalled before this answer is in the answer already.
    QDBusMessage get = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                      QStringLiteral("/org/freedesktop/DBus"),
                                                      QStringLiteral("org.freedesktop.DBus"),
                                                      QStringLiteral("GetNameOwner"));
    get << kGnomeShell;
    auto* pending = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QString> reply = *call;
        if (!reply.isError())
            m_gnomeShellOwner = reply.value();
    });
}

#include "status_notifier_item.moc"
