#include "control_commands.h"

#include "command_line.h"
#include "display_list.h"
#include "hal_access.h"
#include "instance_channel.h"
#include "view_logic.h"

#include <algorithm>
#include <cmath>

using instance::answer;

namespace {

int shownPercent(const RavletEngine& engine, const QString& id)
{
    const auto gain = engine.gains().contains(id) ? std::optional<float>(engine.gains().value(id)) : std::nullopt;
    return int(std::lround(popover::shownGain(gain) * 100.0f));
}

// Every row the popover can show, hidden ones too whether or not it shows
// them now: a script names an application the user hid as well.
QList<AppEntry> allApps(const RavletEngine& engine)
{
    return displayList({engine.apps(), engine.gains(), engine.mutes(), engine.hidden(), true, engine.order(),
                        engine.known()});
}

} // namespace

ControlCommands::ControlCommands(RavletEngine& engine, AudioHardware& hardware, std::function<void()> openPopover)
    : m_engine(engine)
    , m_hardware(hardware)
    , m_openPopover(std::move(openPopover))
{
}

QJsonObject ControlCommands::handle(const QJsonObject& request)
{
    const QString command = request.value(QStringLiteral("command")).toString();
    if (command == QLatin1String("open")) {
        if (m_openPopover)
            m_openPopover();
        return answer(true, {});
    }
    if (command == QLatin1String("list"))
        return list();
    if (command == QLatin1String("set") || command == QLatin1String("mute") || command == QLatin1String("unmute")
        || command == QLatin1String("toggle-mute"))
        return forApp(request, command);
    if (command == QLatin1String("output"))
        return output(request.value(QStringLiteral("target")).toString());
    if (command == QLatin1String("route"))
        return route(request);
    if (command == QLatin1String("limiter"))
        return limiter(request.value(QStringLiteral("target")).toString());
    return answer(false, QStringLiteral("unknown command: %1").arg(cli::escapeField(command)));
}

QJsonObject ControlCommands::list() const
{
    QString text;
    for (const AppEntry& entry : allApps(m_engine)) {
        text += QStringLiteral("%1\t%2\t%3\t%4\t%5")
                    .arg(cli::escapeField(entry.id), cli::escapeField(entry.name))
                    .arg(shownPercent(m_engine, entry.id))
                    .arg(m_engine.mutes().value(entry.id) ? QStringLiteral("muted") : QStringLiteral("unmuted"),
                         entry.isActive ? QStringLiteral("running") : QStringLiteral("stopped"));
        // The sixth field once stood on hidden rows alone; with a field after
        // it, every row has one, so that the device is always the seventh.
        text += m_engine.hidden().contains(entry.id) ? QStringLiteral("\thidden\t") : QStringLiteral("\tshown\t");
        text += cli::escapeField(outputOf(entry.id));
        // What is heard: the row's volume times the one another program set
        // on the application's own streams, which the server applies too.
        const float own = m_engine.ownVolume(entry.id);
        text += QStringLiteral("\t%1\n").arg(m_engine.mutes().value(entry.id) ? 0 : std::lround(shownPercent(m_engine, entry.id) * own));
    }
    QJsonObject reply = answer(true, text);
    // Where nothing can be mixed (no audio server answers, or another Ravlet
    // mixes it) the engine lists nothing as running; the list says why.
    if (!m_engine.supported())
        reply.insert(QStringLiteral("warning"), m_engine.unsupportedText());
    return reply;
}

std::optional<AppEntry> ControlCommands::findApp(const QString& query, QString& error) const
{
    QList<AppEntry> apps = allApps(m_engine);
    QList<cli::Candidate> candidates;
    for (const AppEntry& entry : std::as_const(apps))
        candidates.append({entry.id, entry.name});
    cli::Match found = cli::match(candidates, query, QStringLiteral("application"));
    const bool shownHasIt = std::any_of(candidates.cbegin(), candidates.cend(), [&](const cli::Candidate& c) {
        return c.key == query || c.name.compare(query, Qt::CaseInsensitive) == 0;
    });
    if (!found.index && !shownHasIt) {
        // A remembered application that is not listed (not playing, at its
        // usual volume) is set as well, so that it starts as the
        // user wants it; the rows shown go first, so that a name unique
        // among them stays so.
        QList<cli::Candidate> remembered;
        QList<AppEntry> rememberedApps;
        for (auto it = m_engine.known().cbegin(); it != m_engine.known().cend(); ++it) {
            if (std::any_of(apps.cbegin(), apps.cend(), [&](const AppEntry& entry) { return entry.id == it.key(); }))
                continue;
            remembered.append({it.key(), it->name});
            rememberedApps.append(AppEntry{it.key(), it->name, it->iconPath, false});
        }
        found = cli::match(remembered, query, QStringLiteral("application"));
        if (found.index) {
            found.index = *found.index + int(apps.size());
            apps += rememberedApps;
        }
    }
    if (!found.index) {
        error = found.error;
        return std::nullopt;
    }
    return apps.at(*found.index);
}

QJsonObject ControlCommands::forApp(const QJsonObject& request, const QString& command)
{
    QString error;
    const std::optional<AppEntry> found = findApp(request.value(QStringLiteral("target")).toString(), error);
    if (!found)
        return answer(false, error);
    const AppEntry& app = *found;
    const QString name = cli::escapeField(app.name);

    if (command == QLatin1String("set")) {
        // Checked again here: the socket is open to any program of the user's.
        const auto percent = cli::parsePercent(request.value(QStringLiteral("percent")).toString());
        if (!percent)
            return answer(false, QStringLiteral("not a volume from 0 to 150"));
        m_engine.setGain(app.id, float(*percent / 100.0));
        return answer(true, QStringLiteral("%1: %2 %\n").arg(name).arg(shownPercent(m_engine, app.id)));
    }
    const bool muted = command == QLatin1String("toggle-mute") ? !m_engine.mutes().value(app.id)
                                                                : command == QLatin1String("mute");
    m_engine.setMuted(app.id, muted);
    return answer(true, QStringLiteral("%1: %2\n").arg(name, muted ? QStringLiteral("muted") : QStringLiteral("unmuted")));
}

QJsonObject ControlCommands::output(const QString& query)
{
    const QList<OutputDevice> devices = m_engine.outputs();
    QList<cli::Candidate> candidates;
    for (const OutputDevice& device : devices) {
        candidates.append({hal::cfStringProp(m_hardware, device.id, kAudioDevicePropertyDeviceUID).value_or(QString()),
                           device.name});
    }
    const cli::Match found = cli::match(candidates, query, QStringLiteral("output device"));
    if (!found.index)
        return answer(false, found.error);
    m_engine.selectOutputDevice(devices.at(*found.index).id);
    return answer(true, QStringLiteral("output: %1\n").arg(cli::escapeField(m_engine.outputName())));
}

QString ControlCommands::outputOf(const QString& id) const
{
    // A chosen device that is away plays the application on the default
    // until it returns.
    const QString uid = m_engine.outputChoices().value(id);
    for (const OutputDevice& device : m_engine.outputs()) {
        if (!uid.isEmpty() && device.uid == uid)
            return device.name;
    }
    return QStringLiteral("default");
}

QJsonObject ControlCommands::route(const QJsonObject& request)
{
    QString error;
    const std::optional<AppEntry> app = findApp(request.value(QStringLiteral("target")).toString(), error);
    if (!app)
        return answer(false, error);
    const QString query = request.value(QStringLiteral("device")).toString();
    QString uid;
    // The word wins over a device of that name, which its UID still names.
    if (query != QLatin1String("default")) {
        QList<cli::Candidate> candidates;
        for (const OutputDevice& device : m_engine.outputs())
            candidates.append({device.uid, device.name});
        const cli::Match found = cli::match(candidates, query, QStringLiteral("output device"));
        if (!found.index)
            return answer(false, found.error);
        uid = candidates.at(*found.index).key;
        // Only a device with a UID can be remembered as a choice.
        if (uid.isEmpty())
            return answer(false, QStringLiteral("%1 cannot be chosen for an application").arg(cli::escapeField(query)));
    }
    if (!m_engine.setOutputOf(app->id, uid))
        return answer(false, QStringLiteral("could not send %1 to %2").arg(cli::escapeField(app->name),
                                                                            cli::escapeField(query)));
    const QString name = cli::escapeField(app->name);
    if (uid.isEmpty())
        return answer(true, QStringLiteral("%1: plays on the default output\n").arg(name));
    return answer(true, QStringLiteral("%1: plays on %2\n").arg(name, cli::escapeField(outputOf(app->id))));
}

QJsonObject ControlCommands::limiter(const QString& state)
{
    // Checked again here: the socket is open to any program of the user's.
    if (state != QLatin1String("on") && state != QLatin1String("off"))
        return answer(false, QStringLiteral("usage: ravlet limiter on|off"));
    m_engine.setPreventClipping(state == QLatin1String("on"));
    return answer(true, QStringLiteral("prevent clipping: %1\n").arg(state));
}
