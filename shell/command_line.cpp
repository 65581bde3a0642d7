#include "command_line.h"

#include <QCommandLineParser>

#include <cmath>

namespace cli {

namespace {

const QString kCommandsHelp = QStringLiteral(
    "Commands, sent to the running Ravlet:\n"
    "  list                        one line per application: id, name, volume %, muted, running,\n"
    "                              shown or hidden (from the popover), and the output device\n"
    "                              it plays on (or default)\n"
    "  set ID|NAME PERCENT         set an application's volume (0 to 150)\n"
    "  mute ID|NAME                mute an application\n"
    "  unmute ID|NAME              unmute an application\n"
    "  toggle-mute ID|NAME         mute or unmute an application\n"
    "  output NAME|UID             play through another output device\n"
    "  route ID|NAME DEVICE        play an application on an output device (a name or UID),\n"
    "                              or on the system's default output with \"default\"\n"
    "  limiter on|off              prevent clipping: hold boosts above 100 % to full scale\n"
    "Without a command, starts the mixer, or opens the running one's popover.\n");

struct CommandShape {
    const char* name;
    int arguments;
    const char* usage;
};

constexpr CommandShape kCommands[] = {
    {"list", 0, "list"},
    {"set", 2, "set ID|NAME PERCENT"},
    {"mute", 1, "mute ID|NAME"},
    {"unmute", 1, "unmute ID|NAME"},
    {"toggle-mute", 1, "toggle-mute ID|NAME"},
    {"output", 1, "output NAME|UID"},
    {"route", 2, "route ID|NAME DEVICE"},
    {"limiter", 1, "limiter on|off"},
};

Invocation usageError(const QString& text)
{
    Invocation invocation;
    invocation.kind = Invocation::Kind::UsageError;
    invocation.text = text;
    return invocation;
}

} // namespace

Invocation parseArguments(const QStringList& args, const QString& version)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Ravlet: a per-application volume mixer in the system tray."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help."));
    const QCommandLineOption showVersion({QStringLiteral("v"), QStringLiteral("version")},
                                         QStringLiteral("Show the version."));
    const QCommandLineOption demo(QStringLiteral("demo"),
                                  QStringLiteral("Play the built-in scene instead of the desktop's sound."));
    const QCommandLineOption recordOutput(
        QStringLiteral("record-output"),
        QStringLiteral("With --demo: write what the simulated output devices play, together, to <file> "
                       "(32-bit float WAV, 48 kHz stereo) until Ravlet quits."),
        QStringLiteral("file"));
    parser.addOption(help);
    parser.addOption(showVersion);
    parser.addOption(demo);
    parser.addOption(recordOutput);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("See the commands below."),
                                 QStringLiteral("[command [arguments]]"));

    if (!parser.parse(args))
        return usageError(parser.errorText());
    Invocation invocation;
    if (parser.isSet(help)) {
        invocation.kind = Invocation::Kind::Help;
        // Parsed before any application object exists, which would name the program.
        invocation.text = parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("ravlet"))
            + QLatin1Char('\n') + kCommandsHelp;
        return invocation;
    }
    if (parser.isSet(showVersion)) {
        invocation.kind = Invocation::Kind::Version;
        invocation.text = QStringLiteral("ravlet ") + version + QLatin1Char('\n');
        return invocation;
    }
    invocation.demo = parser.isSet(demo);
    invocation.recordOutput = parser.value(recordOutput);
    // The desktop's own sound is not Ravlet's to record.
    if (parser.isSet(recordOutput) && !invocation.demo)
        return usageError(QStringLiteral("--record-output needs --demo"));
    if (parser.isSet(recordOutput) && invocation.recordOutput.isEmpty())
        return usageError(QStringLiteral("--record-output needs a file"));
    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return invocation;

    for (const CommandShape& shape : kCommands) {
        if (positional.first() != QLatin1String(shape.name))
            continue;
        if (positional.size() - 1 != shape.arguments)
            return usageError(QStringLiteral("usage: ravlet %1").arg(QLatin1String(shape.usage)));
        if (positional.first() == QLatin1String("limiter") && positional.at(1) != QLatin1String("on")
            && positional.at(1) != QLatin1String("off"))
            return usageError(QStringLiteral("usage: ravlet %1").arg(QLatin1String(shape.usage)));
        QJsonObject request{{QStringLiteral("command"), positional.first()}};
        if (shape.arguments >= 1)
            request.insert(QStringLiteral("target"), positional.at(1));
        if (positional.first() == QLatin1String("route")) {
            request.insert(QStringLiteral("device"), positional.at(2));
        } else if (shape.arguments == 2) {
            // Refused here already, so that a typo needs no running mixer to be told.
            if (!parsePercent(positional.at(2)))
                return usageError(QStringLiteral("not a volume from 0 to 150: %1").arg(escapeField(positional.at(2))));
            request.insert(QStringLiteral("percent"), positional.at(2));
        }
        invocation.kind = Invocation::Kind::Control;
        invocation.request = request;
        return invocation;
    }
    return usageError(QStringLiteral("unknown command: %1 (see ravlet --help)").arg(escapeField(positional.first())));
}

std::optional<double> parsePercent(const QString& text)
{
    QString number = text.trimmed();
    if (number.endsWith(QLatin1Char('%')))
        number.chop(1);
    bool ok = false;
    // The C locale: a script's "50.5" means the same on every desktop.
    const double value = QLocale::c().toDouble(number, &ok);
    if (!ok || !std::isfinite(value) || value < 0.0 || value > 150.0)
        return std::nullopt;
    return value;
}

QString escapeField(const QString& text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\': escaped += QStringLiteral("\\\\"); break;
        case '\t': escaped += QStringLiteral("\\t"); break;
        case '\n': escaped += QStringLiteral("\\n"); break;
        case '\r': escaped += QStringLiteral("\\r"); break;
        default:
            // C0, DEL and C1 controls, and the line and paragraph separators
            // some terminals also break on.
            if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() < 0xa0))
                escaped += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
            else if (c.unicode() == 0x2028 || c.unicode() == 0x2029)
                escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                escaped += c;
        }
    }
    return escaped;
}

Match match(const QList<Candidate>& candidates, const QString& query, const QString& kind)
{
    for (int i = 0; i < candidates.size(); ++i) {
        if (!candidates.at(i).key.isEmpty() && candidates.at(i).key == query)
            return {i, {}};
    }
    QList<int> named;
    for (int i = 0; i < candidates.size(); ++i) {
        if (candidates.at(i).name.compare(query, Qt::CaseInsensitive) == 0)
            named.append(i);
    }
    if (named.size() == 1)
        return {named.first(), {}};
    if (named.isEmpty())
        return {std::nullopt, QStringLiteral("no %1 is called %2").arg(kind, escapeField(query))};
    QStringList keys;
    for (const int i : named)
        keys.append(escapeField(candidates.at(i).key));
    return {std::nullopt, QStringLiteral("more than one %1 is called %2; name it by one of: %3")
                              .arg(kind, escapeField(query), keys.join(QStringLiteral(", ")))};
}

} // namespace cli
