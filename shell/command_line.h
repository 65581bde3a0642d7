#pragma once

// The command line: what a start of the program was asked to do, and the
// pieces of a control request that need no running mixer (parsing a
// percentage, matching an application or device, printing a field safely).

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace cli {

// Exit statuses, so that scripts can tell a refused request from a typo.
inline constexpr int kRefused = 1;
inline constexpr int kUsage = 2;
inline constexpr int kNotRunning = 3;

struct Invocation {
    enum class Kind { Mixer, Help, Version, Control, UsageError };
    Kind kind = Kind::Mixer;
    bool demo = false;
    QString recordOutput;  // --record-output FILE, with --demo only
    QJsonObject request;   // for Control
    QString text;          // help text, version line, or what was wrong
};

// args as QCoreApplication::arguments() has them, the program first.
Invocation parseArguments(const QStringList& args, const QString& version);

// A volume in percent, 0 to 150, optionally followed by '%'.
std::optional<double> parsePercent(const QString& text);

// A name or id as one tab-separated field: backslash, tab, newline and the
// other control characters become \\ \t \n \r or \xNN, so a line stays a line.
QString escapeField(const QString& text);

struct Candidate {
    QString key;    // an application id, or a device's uid
    QString name;
};

struct Match {
    std::optional<int> index;   // into the candidates
    QString error;              // why nothing was chosen
};

// The key matches exactly; otherwise the name, case-insensitively, when only
// one candidate has it. kind names the candidates in error messages.
Match match(const QList<Candidate>& candidates, const QString& query, const QString& kind);

} // namespace cli
