#include "linux_process_inspector.h"

#include "unit_names.h"

#include <QRegularExpression>
#include <QSet>

#include <unistd.h>

namespace {

// How far up the parent chain a helper's application is looked for.
constexpr int kMaxAncestors = 32;
// Cached answers for this many processes not seen lately are forgotten.
constexpr qsizetype kCacheLimit = 1024;

QString baseName(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

// Where the search for a helper's application stops: what starts programs
// for the user without being the application they belong to.
const QSet<QString>& startersOfOthers()
{
    static const QSet<QString> names = {
        // service and session managers, log-in
        QStringLiteral("systemd"), QStringLiteral("init"), QStringLiteral("runit"), QStringLiteral("s6-svscan"),
        QStringLiteral("dbus-daemon"), QStringLiteral("dbus-broker"), QStringLiteral("dbus-broker-launch"),
        QStringLiteral("gnome-session"), QStringLiteral("gnome-session-binary"), QStringLiteral("ksmserver"),
        QStringLiteral("plasma_session"), QStringLiteral("startplasma-x11"), QStringLiteral("startplasma-wayland"),
        QStringLiteral("xfce4-session"), QStringLiteral("mate-session"), QStringLiteral("cinnamon-session"),
        QStringLiteral("lxsession"), QStringLiteral("lxqt-session"), QStringLiteral("budgie-desktop"),
        QStringLiteral("gdm-x-session"), QStringLiteral("gdm-wayland-session"), QStringLiteral("lightdm"),
        QStringLiteral("sddm"), QStringLiteral("sddm-helper"), QStringLiteral("sshd"), QStringLiteral("login"),
        QStringLiteral("su"), QStringLiteral("sudo"), QStringLiteral("doas"), QStringLiteral("xinit"),
        QStringLiteral("Xorg"), QStringLiteral("Xwayland"),
        // shells
        QStringLiteral("sh"), QStringLiteral("bash"), QStringLiteral("dash"), QStringLiteral("zsh"),
        QStringLiteral("fish"), QStringLiteral("ksh"), QStringLiteral("mksh"), QStringLiteral("tcsh"),
        QStringLiteral("csh"), QStringLiteral("nu"), QStringLiteral("xonsh"), QStringLiteral("elvish"),
        QStringLiteral("busybox"),
        // terminals and multiplexers, also when their entry is missing
        QStringLiteral("gnome-terminal-server"), QStringLiteral("gnome-terminal"), QStringLiteral("kgx"),
        QStringLiteral("ptyxis"), QStringLiteral("konsole"), QStringLiteral("yakuake"), QStringLiteral("xterm"),
        QStringLiteral("uxterm"), QStringLiteral("urxvt"), QStringLiteral("urxvtd"), QStringLiteral("rxvt"),
        QStringLiteral("alacritty"), QStringLiteral("kitty"), QStringLiteral("foot"), QStringLiteral("footclient"),
        QStringLiteral("wezterm"), QStringLiteral("wezterm-gui"), QStringLiteral("terminator"),
        QStringLiteral("tilix"), QStringLiteral("xfce4-terminal"), QStringLiteral("lxterminal"),
        QStringLiteral("qterminal"), QStringLiteral("mate-terminal"), QStringLiteral("sakura"),
        QStringLiteral("guake"), QStringLiteral("terminology"), QStringLiteral("st"), QStringLiteral("tmux"),
        QStringLiteral("screen"),
        // desktop shells, panels, window managers and launchers
        QStringLiteral("gnome-shell"), QStringLiteral("plasmashell"), QStringLiteral("krunner"),
        QStringLiteral("kded5"), QStringLiteral("kded6"), QStringLiteral("kdeinit5"), QStringLiteral("klauncher"),
        QStringLiteral("kwin_x11"), QStringLiteral("kwin_wayland"), QStringLiteral("mutter"),
        QStringLiteral("xfce4-panel"), QStringLiteral("xfdesktop"), QStringLiteral("xfce4-appfinder"),
        QStringLiteral("xfwm4"), QStringLiteral("mate-panel"), QStringLiteral("marco"), QStringLiteral("cinnamon"),
        QStringLiteral("muffin"), QStringLiteral("lxpanel"), QStringLiteral("lxqt-panel"),
        QStringLiteral("lxqt-runner"), QStringLiteral("budgie-panel"), QStringLiteral("budgie-daemon"),
        QStringLiteral("openbox"), QStringLiteral("i3"), QStringLiteral("sway"), QStringLiteral("Hyprland"),
        QStringLiteral("waybar"), QStringLiteral("rofi"), QStringLiteral("wofi"), QStringLiteral("dmenu"),
        QStringLiteral("dmenu_run"), QStringLiteral("bemenu"), QStringLiteral("fuzzel"), QStringLiteral("tofi"),
        QStringLiteral("albert"), QStringLiteral("ulauncher"), QStringLiteral("synapse"),
        QStringLiteral("gtk-launch"), QStringLiteral("gio"), QStringLiteral("gio-launch-desktop"),
        QStringLiteral("xdg-open"), QStringLiteral("kde-open"), QStringLiteral("kde-open5"),
        QStringLiteral("kioclient"), QStringLiteral("kioclient5"), QStringLiteral("dex"),
        QStringLiteral("systemd-run"), QStringLiteral("flatpak"), QStringLiteral("bwrap"),
        QStringLiteral("xdg-desktop-portal"), QStringLiteral("nohup"), QStringLiteral("setsid"),
        QStringLiteral("env"), QStringLiteral("timeout"),
    };
    return names;
}

// Whether the process is one of those, also when it is a script run by an
// interpreter.
bool startsOthers(const QString& executable, const QStringList& arguments)
{
    const QSet<QString>& starters = startersOfOthers();
    return starters.contains(baseName(executable))
        || (!arguments.isEmpty() && starters.contains(baseName(arguments.first())))
        || starters.contains(programName(executable, arguments.mid(1)));
}

// Flatpak's application ids: reverse-DNS names, nothing that could climb
// folders or hide a control character.
bool isApplicationId(const QString& id)
{
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z_][A-Za-z0-9_-]*(\\.[A-Za-z0-9_-]+)+$"));
    return id.size() <= 255 && valid.match(id).hasMatch();
}

bool hasControlCharacters(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

// What a client says its icon is, taken as an icon theme's name and nothing
// else: any client may say anything, and a path would have the icon loader
// open whatever file the client chose (and what that file refers to).
std::optional<QString> themeIconName(const QString& name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.'))
        || name.startsWith(QLatin1Char('~')) || hasControlCharacters(name))
        return std::nullopt;
    return name;
}

QString nonEmpty(const QString& first, const QString& second)
{
    const QString trimmed = first.trimmed();
    return trimmed.isEmpty() ? second : trimmed;
}

} // namespace

AppIdentity identityOf(const DesktopEntry& entry)
{
    QString name = entry.name;
    if (name.isEmpty())
        name = entry.id.chopped(int(qstrlen(".desktop")));
    return AppIdentity{entry.id, name, entry.icon.isEmpty() ? std::nullopt : std::optional<QString>(entry.icon)};
}

LinuxProcessInspector::LinuxProcessInspector()
    : LinuxProcessInspector(Roots{})
{
}

LinuxProcessInspector::LinuxProcessInspector(Roots roots)
    : m_proc(std::move(roots.proc))
    , m_entries(std::move(roots.applicationDirs), std::move(roots.locale))
    , m_indexCheckMs(roots.indexCheckMs)
    , m_uid(::getuid())
{
}

ProcessInspector::Pid LinuxProcessInspector::currentPid() const
{
    return ::getpid();
}

std::optional<AppIdentity> LinuxProcessInspector::applicationOf(Pid pid, const FactsSource& facts)
{
    checkEntries();
    std::optional<AudioClientFacts> said;
    const auto readFacts = [&]() -> const AudioClientFacts& {
        if (!said)
            said = facts ? facts() : AudioClientFacts{};
        return *said;
    };
    // Without its own files a process cannot be told apart from whatever
    // takes its pid next; the audio server's word is all there is.
    const std::optional<ProcStat> stat = m_proc.stat(pid);
    if (!stat)
        return fromFacts(readFacts());

    Cached& cached = m_cache[pid];
    if (cached.lastUse == 0 || cached.startTime != stat->startTime) {
        cached = Cached{stat->startTime, 0, true, std::nullopt};
        resolve(pid, *stat, readFacts(), cached);
    }
    cached.lastUse = ++m_uses;
    std::optional<AppIdentity> answer = cached.trusted ? cached.fromFiles : std::nullopt;
    forgetUnused();
    return answer ? answer : fromFacts(readFacts());
}

void LinuxProcessInspector::resolve(Pid pid, const ProcStat& stat, const AudioClientFacts& facts, Cached& into) const
{
    into.trusted = facts.binary.isEmpty() || runsBinary(pid, stat, facts.binary);
    if (!into.trusted)
        return;
    if (auto sandboxed = fromSandbox(pid, facts))
        into.fromFiles = sandboxed;
    else if (auto program = fromProgram(pid, stat))
        into.fromFiles = program;
    else
        into.fromFiles = fromAppUnit(pid);
}

bool LinuxProcessInspector::runsBinary(Pid pid, const ProcStat& stat, const QString& binary) const
{
    const QString name = baseName(binary);
    if (name == baseName(m_proc.executable(pid)))
        return true;
    const QStringList arguments = m_proc.arguments(pid);
    if (!arguments.isEmpty() && name == baseName(arguments.first()))
        return true;
    // The kernel keeps only the first 15 bytes of a program's name.
    const QByteArray utf8 = name.toUtf8();
    return !stat.comm.isEmpty() && stat.comm == utf8.left(15);
}

std::optional<AppIdentity> LinuxProcessInspector::fromSandbox(Pid pid, const AudioClientFacts& facts) const
{
    if (const QString flatpak = m_proc.flatpakApplication(pid); isApplicationId(flatpak)) {
        const QString id = flatpak + QStringLiteral(".desktop");
        if (const DesktopEntry* entry = m_entries.entry(id))
            return identityOf(*entry);
        // Exported icons carry the application's id as their name.
        return AppIdentity{id, nonEmpty(facts.applicationName, flatpak.section(QLatin1Char('.'), -1)), flatpak};
    }
    if (const QString id = desktopIdFromSnapUnit(m_proc.cgroup(pid)); !id.isEmpty()) {
        if (const DesktopEntry* entry = m_entries.entry(id))
            return identityOf(*entry);
        const QString app = id.section(QLatin1Char('_'), 1).chopped(int(qstrlen(".desktop")));
        return AppIdentity{id, nonEmpty(facts.applicationName, app), themeIconName(facts.iconName)};
    }
    return std::nullopt;
}

std::optional<AppIdentity> LinuxProcessInspector::fromProgram(Pid pid, ProcStat stat) const
{
    const std::optional<uid_t> owner = m_proc.owner(pid);
    for (int depth = 0; depth < kMaxAncestors; ++depth) {
        const QString executable = m_proc.executable(pid);
        const QStringList arguments = m_proc.arguments(pid);
        const bool starter = startsOthers(executable, arguments);
        // A process may always be itself (a terminal ringing its own bell);
        // past that, whoever started it claims nothing.
        if (depth > 0 && starter)
            return std::nullopt;
        if (!executable.isEmpty() || !arguments.isEmpty()) {
            if (const DesktopEntry* entry = m_entries.matchProcess(executable, arguments)) {
                if (depth > 0 && (entry->isTerminalEmulator() || startsOthers(entry->program, QStringList{entry->program} + entry->arguments)))
                    return std::nullopt;
                return identityOf(*entry);
            }
        }
        if (starter || stat.parent <= 1)
            return std::nullopt;
        const std::optional<ProcStat> parent = m_proc.stat(stat.parent);
        // A parent younger than its child is not the parent: that pid has
        // been taken by another process since. Nor is another user's process
        // (a log-in manager, a root shell) any application of ours.
        if (!parent || parent->startTime > stat.startTime || m_proc.owner(stat.parent) != owner)
            return std::nullopt;
        pid = stat.parent;
        stat = *parent;
    }
    return std::nullopt;
}

std::optional<AppIdentity> LinuxProcessInspector::fromAppUnit(Pid pid) const
{
    const QString id = desktopIdFromAppUnit(m_proc.cgroup(pid));
    if (id.isEmpty())
        return std::nullopt;
    const DesktopEntry* entry = m_entries.entry(id);
    // Everything run in a terminal shares the terminal's unit.
    if (!entry || entry->isTerminalEmulator())
        return std::nullopt;
    return identityOf(*entry);
}

std::optional<AppIdentity> LinuxProcessInspector::fromFacts(const AudioClientFacts& facts) const
{
    const QString binary = baseName(facts.binary.trimmed());
    if (binary.isEmpty() || binary.size() > 255 || hasControlCharacters(binary))
        return std::nullopt;
    if (const DesktopEntry* entry = m_entries.matchProcess(binary, {binary}); entry && !entry->isTerminalEmulator())
        return identityOf(*entry);
    // Made ids must never be mistaken for desktop-entry ids.
    if (binary.endsWith(QLatin1String(".desktop")))
        return std::nullopt;
    return AppIdentity{QStringLiteral("client:") + binary, nonEmpty(facts.applicationName, binary),
                       themeIconName(facts.iconName)};
}

void LinuxProcessInspector::checkEntries()
{
    if (m_sinceIndexCheck.isValid() && m_sinceIndexCheck.elapsed() < m_indexCheckMs)
        return;
    m_sinceIndexCheck.start();
    m_entries.refreshIfChanged();
    if (m_entries.generation() != m_generation) {
        m_generation = m_entries.generation();
        m_cache.clear();
    }
}

void LinuxProcessInspector::forgetUnused()
{
    if (m_cache.size() <= kCacheLimit)
        return;
    const quint64 oldest = m_uses > quint64(kCacheLimit) ? m_uses - quint64(kCacheLimit) : 0;
    m_cache.removeIf([oldest](const auto& entry) { return entry.value().lastUse <= oldest; });
}
