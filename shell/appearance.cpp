#include "appearance.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGroup = QStringLiteral("org.freedesktop.appearance");
const QString kKey = QStringLiteral("color-scheme");

bool paletteIsDark()
{
    return QGuiApplication::palette().window().color().lightness() < 128;
}

// Read answers with the setting wrapped in one variant more than ReadOne and
// the change signal do; any depth is taken apart.
QVariant unwrapped(QVariant value)
{
    for (int depth = 0; depth < 4 && value.canConvert<QDBusVariant>()
                        && value.metaType() == QMetaType::fromType<QDBusVariant>();
         ++depth)
        value = value.value<QDBusVariant>().variant();
    return value;
}

} // namespace

Appearance::Appearance(QObject* parent)
    : Appearance(QDBusConnection::sessionBus(), parent)
{
}

Appearance::Appearance(const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
    , m_bus(bus)
    , m_dark(paletteIsDark())
{
    if (qApp)
        qApp->installEventFilter(this);
    if (!m_bus.isConnected())
        return;
    // QtDBus finds the slot's parameter types by name, and a type is known
    // by name only once registered; until something else on the bus has
    // used one, the connection would fail.
    qRegisterMetaType<QDBusVariant>();
    m_bus.connect(kService, kPath, kInterface, QStringLiteral("SettingChanged"), this,
                  SLOT(onSettingChanged(QString, QString, QDBusVariant)));
    read(QStringLiteral("ReadOne"));
}

bool Appearance::dark() const
{
    return m_dark;
}

std::optional<bool> Appearance::darkFromColorScheme(const QVariant& value)
{
    bool ok = false;
    const qlonglong scheme = unwrapped(value).toLongLong(&ok);
    if (!ok || (scheme != 1 && scheme != 2))
        return std::nullopt;
    return scheme == 1;
}

void Appearance::read(const QString& method)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call << kGroup << kKey;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, method](QDBusPendingCallWatcher* finished) { onReply(finished, method); });
}

void Appearance::onReply(QDBusPendingCallWatcher* watcher, const QString& method)
{
    watcher->deleteLater();
    if (m_signalled)
        return;
    const QDBusPendingReply<QDBusVariant> reply = *watcher;
    if (reply.isError()) {
        // Portals before ReadOne know only Read. Nobody there, or nobody
        // answering in time, leaves the palette to decide.
        const auto type = reply.error().type();
        if (method == QLatin1String("ReadOne") && type != QDBusError::ServiceUnknown && type != QDBusError::NoReply
            && type != QDBusError::Timeout)
            read(QStringLiteral("Read"));
        return;
    }
    update(darkFromColorScheme(QVariant::fromValue(reply.value())));
}

void Appearance::onSettingChanged(const QString& group, const QString& key, const QDBusVariant& value)
{
    if (group != kGroup || key != kKey)
        return;
    m_signalled = true;
    update(darkFromColorScheme(value.variant()));
}

bool Appearance::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && !m_preference)
        update(std::nullopt);
    return QObject::eventFilter(watched, event);
}

void Appearance::update(std::optional<bool> preference)
{
    m_preference = preference;
    const bool dark = preference.value_or(paletteIsDark());
    if (dark == m_dark)
        return;
    m_dark = dark;
    emit darkChanged();
}
