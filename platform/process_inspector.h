#pragma once

// Which application a process belongs to, named the way the desktop it runs
// on names applications: on macOS by its application bundle, on Linux by its
// installed desktop entry. The engine groups audio processes by the answer
// and never learns which rule gave it.

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

// What the audio server states about the client behind a process object.
// Self-reported by the client, so a rule uses it only when the process's own
// files say nothing (or cannot be trusted).
struct AudioClientFacts {
    QString applicationName;   // "Firefox"
    QString binary;            // "firefox-esr": the client's program, without its folder
    QString iconName;          // an icon-theme name
};

struct AppIdentity {
    // The key of every per-application setting: stable across restarts,
    // updates and pid changes. A bundle id is an absolute path; a desktop
    // entry id ends in ".desktop" and holds no "/"; an id made from the
    // audio server's facts starts with "client:". The kinds never collide.
    QString id;
    QString name;
    // A bundle path, an image file's absolute path, or an icon-theme name.
    std::optional<QString> iconPath;

    friend bool operator==(const AppIdentity&, const AppIdentity&) = default;
};

class ProcessInspector {
public:
    using Pid = std::int32_t;
    // Read only when a rule asks for them: most answers come from the
    // process's own files, and reading the facts costs hardware calls.
    using FactsSource = std::function<AudioClientFacts()>;

    virtual ~ProcessInspector() = default;

    // getpid()
    virtual Pid currentPid() const = 0;

    // The application pid belongs to, or nothing. pid is 0 or less when the
    // audio server could not vouch for one; only the facts can speak then.
    // Main thread only; implementations may cache.
    virtual std::optional<AppIdentity> applicationOf(Pid pid, const FactsSource& facts) = 0;
};
