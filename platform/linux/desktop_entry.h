#pragma once

// One application's desktop entry (a ".desktop" file), reduced to what names
// a running process: its display name and icon, and the command it runs.
// Nothing here runs or expands the command; Exec is only taken apart.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

struct DesktopEntry {
    QString id;              // desktop-file id, e.g. "org.example.Player.desktop"; a file in a subfolder "a/b.desktop" has id "a-b.desktop"
    QString name;            // Name in the index's locale (Name[xx_YY@mod] … Name[xx] … Name), string escapes decoded
    QString icon;            // Icon as written: an icon-theme name or an absolute path; empty when none
    QString program;         // Exec's program, after `env VAR=… prog` wrappers (and env's options); as written: absolute path or bare name; empty when Exec is missing or malformed
    QStringList arguments;   // Exec's remaining arguments with field codes (%f %F %u %U %i %c %k etc., and deprecated %d %D %n %N %v %m) removed and %% turned into %
    QString tryExec;         // as written
    QString startupWMClass;
    QStringList categories;
    bool noDisplay = false;
    bool hidden = false;     // Hidden=true: the entry counts as deleted

    bool isTerminalEmulator() const;   // Categories holds "TerminalEmulator"
};

// Larger files are not desktop entries anyone wrote by hand or by tool; they
// are refused before they cost memory or time.
inline constexpr qsizetype maxDesktopEntryBytes = 64 * 1024;

// Parses one file's bytes as the entry with this id. Nothing when it is not an
// application entry: no "[Desktop Entry]" group (the first group must be it;
// later groups like [Desktop Action x] are ignored), Type is not
// "Application", or no Name (unless hidden: a Hidden=true entry needs neither
// Type nor Name, it only masks). Also nothing when the file is larger than
// maxDesktopEntryBytes or the text up to the end of that group is not well
// formed: invalid UTF-8, NUL bytes, a line that is neither a group, a
// key=value pair nor a comment. Later groups are not read, so not checked.
// locale is like "de_DE.UTF-8@euro", "de_DE", "de" or "" / "C" / "POSIX" (no
// localisation). When a key appears twice in the group, the later line wins.
std::optional<DesktopEntry> parseDesktopEntry(const QByteArray& bytes, const QString& id, const QString& locale);

// Exec's quoting rules: arguments split on unquoted spaces; inside double
// quotes a backslash escapes `"`, `` ` ``, `$` and `\`. Expects the value after
// the general string escapes (\s \n \t \r \\) are decoded. Nothing on
// malformed quoting (an unterminated quote). Outside quotes every other
// character is literal; nothing is expanded.
std::optional<QStringList> splitExec(const QString& exec);

// Programs that run a script named by an argument: the script, not the
// interpreter, says which application it is. Versioned names
// ("python3.11", "perl5.36") count.
bool isInterpreter(const QString& name);
// An interpreter's script: its first argument that is not an option.
QString scriptArgument(const QStringList& arguments);
// The name a program goes by, without its folder: its script's when it is
// an interpreter (arguments without the program itself).
QString programName(const QString& program, const QStringList& arguments);
