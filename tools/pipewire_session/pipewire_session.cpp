#include "pipewire_session.h"

#include "pw_dump.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

// Variables through which a client, or a daemon, would find another server,
// a display, the journal or configuration other than the session's.
const char* const kRemoved[] = {
    "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR", "PIPEWIRE_CONFIG_NAME",
    "PIPEWIRE_CONFIG_PREFIX", "PIPEWIRE_NODE", "PIPEWIRE_PROPS", "PIPEWIRE_LATENCY",
    "PULSE_SERVER", "PULSE_SINK", "PULSE_SOURCE", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH",
    "PULSE_CONFIG_PATH", "PULSE_COOKIE", "PULSE_CLIENTCONFIG", "PULSE_PROP",
    "WIREPLUMBER_CONFIG_DIR", "WIREPLUMBER_DATA_DIR", "WIREPLUMBER_CONFIG_FILE",
    "DISPLAY", "WAYLAND_DISPLAY", "JOURNAL_STREAM", "DBUS_STARTER_ADDRESS", "DBUS_STARTER_BUS_TYPE",
};

constexpr char kSinks[] = R"(# Two sinks that play into nothing but can be recorded from their monitors.
# The priorities make "speakers" the default whatever order they appear in.
context.objects = [
    { factory = adapter
      args = {
          factory.name           = support.null-audio-sink
          node.name              = "speakers"
          node.description       = "Speakers"
          media.class            = Audio/Sink
          audio.position         = [ FL FR ]
          monitor.channel-volumes = true
          priority.session       = 1000
          priority.driver        = 1000
      }
    }
    { factory = adapter
      args = {
          factory.name           = support.null-audio-sink
          node.name              = "headphones"
          node.description       = "Headphones"
          media.class            = Audio/Sink
          audio.position         = [ FL FR ]
          monitor.channel-volumes = true
          priority.session       = 900
          priority.driver        = 900
      }
    }
]
)";

// WirePlumber would otherwise open the machine's real sound cards, cameras
// and Bluetooth devices. Up to 0.4 it reads Lua fragments, from 0.5 on
// SPA-JSON ones (and warns about any Lua file it finds).
constexpr char kNoDevices04[] = "alsa_monitor.enabled = false\n"
                                "v4l2_monitor.enabled = false\n"
                                "libcamera_monitor.enabled = false\n";
constexpr char kNoBluetooth04[] = "bluez_monitor.enabled = false\n";
constexpr char kNoDevices05[] = R"(wireplumber.profiles = {
  main = {
    monitor.alsa = disabled
    monitor.alsa-midi = disabled
    monitor.bluez = disabled
    monitor.bluez-midi = disabled
    monitor.v4l2 = disabled
    monitor.libcamera = disabled
  }
}
)";

// With RAVLET_TEST_DAEMONS_ROOT naming the root of another release
// (scripts/distro-root), the daemons are that release's: each starts in a
// mount namespace of its own, chrooted into the root with the session's
// folder bound at the same path, so that the machine's own clients (Ravlet,
// the players, pw-dump, pactl) reach it through the same sockets. The shell
// execs into the daemon, so its pid is the daemon's for signals.
QString daemonsRoot()
{
    return qEnvironmentVariable("RAVLET_TEST_DAEMONS_ROOT");
}

constexpr char kInRoot[] = R"(root=$1; dir=$2; shift 2
mount -t tmpfs tmpfs "$root/tmp" && mkdir -p "$root$dir" && mount --bind "$dir" "$root$dir" \
  && mount --rbind /dev "$root/dev" && mount -t proc proc "$root/proc" \
  && exec chroot "$root" "$@")";

struct Command {
    QString program;
    QStringList arguments;
};

Command daemonCommand(const QString& program, const QString& sessionDir, const QStringList& arguments = {})
{
    const QString root = daemonsRoot();
    if (root.isEmpty())
        return {program, arguments};
    return {QStringLiteral("unshare"),
            QStringList {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                         QStringLiteral("sh"), QStringLiteral("-c"), QString::fromLatin1(kInRoot),
                         QStringLiteral("sh"), root, sessionDir, program}
                + arguments};
}

// No service directories: nothing is ever activated on this bus.
constexpr char kBusConfig[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// A connect() that succeeds means the daemon is listening, not merely that a
// stale socket file is left over.
bool socketAnswers(const QString& path)
{
    const QByteArray bytes = QFile::encodeName(path);
    sockaddr_un address {};
    if (bytes.size() >= static_cast<qsizetype>(sizeof(address.sun_path)))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bytes.constData(), bytes.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return ok;
}

bool writeFile(const QString& path, const QByteArray& contents)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(contents) == contents.size();
}

} // namespace

PipeWireSession::PipeWireSession() = default;

PipeWireSession::~PipeWireSession()
{
    stop();
}

QString PipeWireSession::rootDir() const { return dir_ ? dir_->path() : QString(); }
QString PipeWireSession::runtimeDir() const { return rootDir() + QStringLiteral("/run"); }
QString PipeWireSession::stateDir() const { return rootDir() + QStringLiteral("/state"); }
QString PipeWireSession::configDir() const { return rootDir() + QStringLiteral("/config"); }
QString PipeWireSession::pipewireSocket() const { return runtimeDir() + QStringLiteral("/pipewire-0"); }
QString PipeWireSession::pulseSocket() const { return runtimeDir() + QStringLiteral("/pulse/native"); }
QString PipeWireSession::logPath(const QString& name) const { return rootDir() + QStringLiteral("/logs/") + name + QStringLiteral(".log"); }

bool PipeWireSession::isRunning() const
{
    return bus_.isRunning() && pipewire_.isRunning() && wireplumber_.isRunning() && pulse_.isRunning();
}

QProcessEnvironment PipeWireSession::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : kRemoved)
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
    environment.insert(QStringLiteral("XDG_STATE_HOME"), stateDir());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), rootDir() + QStringLiteral("/data"));
    environment.insert(QStringLiteral("HOME"), rootDir() + QStringLiteral("/home"));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress_);
    return environment;
}

void PipeWireSession::applyToThisProcess() const
{
    for (const char* name : kRemoved)
        qunsetenv(name);
    const QProcessEnvironment ours = environment();
    for (const QString& name : {QStringLiteral("XDG_RUNTIME_DIR"), QStringLiteral("XDG_STATE_HOME"),
                                QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral("XDG_DATA_HOME"),
                                QStringLiteral("HOME"), QStringLiteral("DBUS_SESSION_BUS_ADDRESS")})
        qputenv(name.toLatin1().constData(), ours.value(name).toLocal8Bit());
}

bool PipeWireSession::fail(const QString& why)
{
    error_ = why + QStringLiteral("\n") + logs();
    return false;
}

bool PipeWireSession::prepareDirectories()
{
    dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/ravlet-pw-XXXXXX"));
    if (!dir_->isValid())
        return fail(QStringLiteral("cannot create a temporary directory: ") + dir_->errorString());
    // sockaddr_un holds 108 bytes; a long TMPDIR would otherwise fail later
    // and obscurely in every client.
    if (QFile::encodeName(pulseSocket()).size() >= 100)
        return fail(QStringLiteral("temporary directory path too long for sockets: ") + rootDir());
    for (const char* sub : {"run", "state", "config", "home", "data", "logs", "bin"})
        QDir(rootDir()).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(runtimeDir(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    const QString config = configDir();
    const std::optional<int> wireplumberMinor = wireplumberVersion();
    if (!wireplumberMinor)
        return fail(QStringLiteral("cannot tell which WirePlumber this is (wireplumber --version)"));
    const bool luaConfig = *wireplumberMinor < 5;
    const bool written =
        writeFile(config + QStringLiteral("/pipewire/pipewire.conf.d/ravlet-test-sinks.conf"), kSinks)
        && (luaConfig
                ? writeFile(config + QStringLiteral("/wireplumber/main.lua.d/51-ravlet-test-no-devices.lua"), kNoDevices04)
                      && writeFile(config + QStringLiteral("/wireplumber/bluetooth.lua.d/51-ravlet-test-no-bluetooth.lua"),
                                   kNoBluetooth04)
                : writeFile(config + QStringLiteral("/wireplumber/wireplumber.conf.d/51-ravlet-test-no-devices.conf"),
                            kNoDevices05))
        // A client that finds no server must fail, not start a PulseAudio of
        // its own.
        && writeFile(config + QStringLiteral("/pulse/client.conf"), "autospawn = no\n")
        && writeFile(rootDir() + QStringLiteral("/bus.conf"),
                     QString::fromLatin1(kBusConfig).arg(runtimeDir() + QStringLiteral("/bus")).toUtf8());
    return written || fail(QStringLiteral("cannot write the session's configuration in ") + rootDir());
}

std::optional<int> PipeWireSession::wireplumberVersion() const
{
    // "Compiled with libwireplumber 0.4.13" / "... 0.5.8"
    const Command command = daemonCommand(QStringLiteral("wireplumber"), rootDir(), {QStringLiteral("--version")});
    QByteArray output;
    if (!runTool(command.program, command.arguments, environment(), 5000, &output, nullptr))
        return std::nullopt;
    const qsizetype at = output.indexOf("libwireplumber 0.");
    if (at < 0)
        return std::nullopt;
    bool ok = false;
    const int minor = output.mid(at + 17).split('.').value(0).toInt(&ok);
    return ok ? std::optional<int>(minor) : std::nullopt;
}

bool PipeWireSession::startBus()
{
    const QString socket = runtimeDir() + QStringLiteral("/bus");
    busAddress_ = QStringLiteral("unix:path=") + socket;
    if (!bus_.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--config-file=") + rootDir() + QStringLiteral("/bus.conf"),
                     QStringLiteral("--nofork"), QStringLiteral("--nopidfile")},
                    environment(), logPath(QStringLiteral("dbus-daemon"))))
        return fail(QStringLiteral("cannot start dbus-daemon"));
    const QDeadlineTimer deadline(5000);
    while (!socketAnswers(socket)) {
        if (!bus_.isRunning())
            return fail(QStringLiteral("dbus-daemon exited"));
        if (deadline.hasExpired())
            return fail(QStringLiteral("dbus-daemon did not listen within 5 s"));
        QThread::msleep(10);
    }
    return true;
}

bool PipeWireSession::start(int timeoutMs)
{
    stop();
    error_.clear();
    // Whatever did start is ended again: a failed start leaves nothing
    // behind but its logs in errorString().
    if (prepareDirectories() && startBus() && startDaemons(timeoutMs))
        return true;
    stop();
    return false;
}

bool PipeWireSession::restart(int timeoutMs, bool forgetState)
{
    if (!dir_)
        return start(timeoutMs);
    error_.clear();
    if (!bus_.isRunning())
        return fail(QStringLiteral("the session's bus has gone"));
    stopDaemons();
    if (forgetState)
        QDir(stateDir() + QStringLiteral("/wireplumber")).removeRecursively();
    if (startDaemons(timeoutMs))
        return true;
    stopDaemons();
    return false;
}

bool PipeWireSession::startDaemons(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const QProcessEnvironment env = environment();

    std::vector<const ChildProcess*> started;
    auto daemonsAlive = [&]() -> bool {
        for (const ChildProcess* daemon : started) {
            if (!daemon->isRunning())
                return fail(daemon->program() + QStringLiteral(" exited"));
        }
        return true;
    };

    const auto startDaemon = [&](ChildProcess& daemon, const QString& program) {
        const Command command = daemonCommand(program, rootDir());
        return daemon.start(command.program, command.arguments, env, logPath(program));
    };
    if (!startDaemon(pipewire_, QStringLiteral("pipewire")))
        return fail(QStringLiteral("cannot start pipewire"));
    started.push_back(&pipewire_);
    // WirePlumber and pipewire-pulse give up when the server is not there yet.
    while (!socketAnswers(pipewireSocket())) {
        if (!daemonsAlive())
            return false;
        if (deadline.hasExpired())
            return fail(QStringLiteral("pipewire did not listen within %1 ms").arg(timeoutMs));
        QThread::msleep(10);
    }
    if (!startDaemon(wireplumber_, QStringLiteral("wireplumber")))
        return fail(QStringLiteral("cannot start wireplumber"));
    started.push_back(&wireplumber_);
    if (!startDaemon(pulse_, QStringLiteral("pipewire-pulse")))
        return fail(QStringLiteral("cannot start pipewire-pulse"));
    started.push_back(&pulse_);

    bool haveDefault = false;
    bool pulseAnswers = false;
    QString lastError;
    while (!haveDefault || !pulseAnswers) {
        if (!daemonsAlive())
            return false;
        if (deadline.hasExpired())
            return fail(QStringLiteral("session not ready within %1 ms (default sink: %2, pulse: %3) %4")
                            .arg(timeoutMs)
                            .arg(haveDefault ? "yes" : "no", pulseAnswers ? "yes" : "no", lastError));
        if (!haveDefault)
            haveDefault = metadataValue(0, QStringLiteral("default.audio.sink")).has_value();
        if (!pulseAnswers && socketAnswers(pulseSocket()))
            pulseAnswers = run(QStringLiteral("pactl"), {QStringLiteral("info")}, nullptr, &lastError, 2000);
        if (!haveDefault || !pulseAnswers)
            QThread::msleep(50);
    }
    return true;
}

void PipeWireSession::stopDaemons()
{
    // Clients first, the server last, so each goes without error noise.
    pulse_.stop();
    wireplumber_.stop();
    pipewire_.stop();
}

void PipeWireSession::stop()
{
    stopDaemons();
    bus_.stop();
}

QString PipeWireSession::logs() const
{
    QString text;
    for (const ChildProcess* process : {&bus_, &pipewire_, &wireplumber_, &pulse_}) {
        if (process->logFile().isEmpty())
            continue;
        text += QStringLiteral("==== %1 (pid %2%3) ====\n")
                    .arg(QFileInfo(process->logFile()).completeBaseName())
                    .arg(process->pid())
                    .arg(process->isRunning() ? QString() : QStringLiteral(", ended"));
        text += process->log();
    }
    return text;
}

std::vector<qint64> PipeWireSession::pids() const
{
    std::vector<qint64> result;
    for (const ChildProcess* process : {&bus_, &pipewire_, &wireplumber_, &pulse_}) {
        if (process->isRunning())
            result.push_back(process->pid());
    }
    return result;
}

bool PipeWireSession::run(const QString& program, const QStringList& arguments, QByteArray* output,
                          QString* error, int timeoutMs) const
{
    if (!dir_) {
        if (error)
            *error = QStringLiteral("the session was never started");
        return false;
    }
    // The daemons' own inspection tools come from their release: pw-dump
    // 0.3 prints a parameter that 1.x added as a value without a key, which
    // is no JSON.
    static const QStringList daemonTools = {QStringLiteral("pw-dump"), QStringLiteral("pw-cli"),
                                            QStringLiteral("pw-metadata"), QStringLiteral("wpctl")};
    if (daemonTools.contains(program)) {
        const Command command = daemonCommand(program, rootDir(), arguments);
        return runTool(command.program, command.arguments, environment(), timeoutMs, output, error);
    }
    return runTool(program, arguments, environment(), timeoutMs, output, error);
}

QJsonArray PipeWireSession::pwDump(QString* error) const
{
    QByteArray output;
    if (!run(QStringLiteral("pw-dump"), {}, &output, error, 5000))
        return {};
    // What changes while it dumps follows the first array as further ones,
    // each object whole again (or with a null "info" when it went away):
    // later entries replace earlier ones of the same id.
    QJsonArray merged;
    QByteArray rest = output;
    for (int documents = 0; !rest.trimmed().isEmpty(); ++documents) {
        QJsonParseError parseError;
        QJsonDocument document = QJsonDocument::fromJson(rest, &parseError);
        qsizetype consumed = rest.size();
        if (parseError.error == QJsonParseError::GarbageAtEnd) {
            consumed = parseError.offset;
            document = QJsonDocument::fromJson(rest.left(consumed), &parseError);
        }
        if (!document.isArray()) {
            if (documents > 0)
                break;
            if (error)
                *error = QStringLiteral("pw-dump printed no JSON array: ") + parseError.errorString();
            return {};
        }
        for (const QJsonValue& value : document.array()) {
            const QJsonObject object = value.toObject();
            const qint64 id = object.value(QStringLiteral("id")).toInteger(-1);
            for (qsizetype i = 0; i < merged.size(); ++i) {
                if (merged.at(i).toObject().value(QStringLiteral("id")).toInteger(-2) == id) {
                    merged.removeAt(i);
                    break;
                }
            }
            if (!object.value(QStringLiteral("info")).isNull() || object.contains(QStringLiteral("metadata")))
                merged.append(object);
        }
        rest = rest.mid(consumed);
    }
    return merged;
}

std::optional<QMap<QString, QString>> PipeWireSession::rememberedTargets() const
{
    // 0.4: "Output/Audio:media.role:Music:target=headphones"
    // 0.5: "Output/Audio:media.role:Music={"target":"headphones", ...}"
    const QString folder = stateDir() + QStringLiteral("/wireplumber/");
    QFile old(folder + QStringLiteral("restore-stream"));
    QFile current(folder + QStringLiteral("stream-properties"));
    QMap<QString, QString> targets;
    if (old.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : old.readAll().split('\n')) {
            const qsizetype at = line.indexOf(":target=");
            if (at > 0)
                targets.insert(QString::fromUtf8(line.left(at)), QString::fromUtf8(line.mid(at + 8)));
        }
        return targets;
    }
    if (current.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : current.readAll().split('\n')) {
            const qsizetype at = line.indexOf("={");
            if (at <= 0)
                continue;
            // The key file escapes nothing a JSON object of names holds.
            const QJsonValue target = QJsonDocument::fromJson(line.mid(at + 1)).object().value(QStringLiteral("target"));
            if (target.isString())
                targets.insert(QString::fromUtf8(line.left(at)), target.toString());
        }
        return targets;
    }
    return std::nullopt;
}

std::optional<QString> PipeWireSession::metadataValue(quint32 subjectId, const QString& key) const
{
    const auto value = pwdump::metadataValue(pwDump(), QStringLiteral("default"), subjectId, key);
    if (!value)
        return std::nullopt;
    return pwdump::metadataText(*value);
}

bool PipeWireSession::waitUntil(const std::function<bool(const QJsonArray&)>& condition, int timeoutMs,
                                QJsonArray* last) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const QJsonArray dump = pwDump();
        if (last)
            *last = dump;
        if (condition(dump))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
}
