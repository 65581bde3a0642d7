// A private PipeWire session for trying Ravlet by hand or from a script
// with players of any kind: starts it, prints the variables that lead a
// program there as shell assignments (one "export NAME='value'" a line,
// then "ready"), and ends it, daemons and all, when its standard input
// closes or it is asked to end.
//
// Usage: ravlet-session   (e.g. coproc ravlet-session; eval "$(...)")

#include "pipewire_session.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    PipeWireSession session;
    if (!session.start()) {
        std::fprintf(stderr, "ravlet-session: %s\n", qPrintable(session.errorString()));
        return 1;
    }
    const QProcessEnvironment environment = session.environment();
    for (const QString& name : {QStringLiteral("XDG_RUNTIME_DIR"), QStringLiteral("XDG_STATE_HOME"),
                                QStringLiteral("XDG_CONFIG_HOME"), QStringLiteral("XDG_DATA_HOME"),
                                QStringLiteral("HOME"), QStringLiteral("DBUS_SESSION_BUS_ADDRESS")})
        std::printf("export %s='%s'\n", qPrintable(name), qPrintable(environment.value(name)));
    std::printf("export RAVLET_SESSION_ROOT='%s'\nready\n", qPrintable(session.rootDir()));
    std::fflush(stdout);
    // Ended by the end of standard input, or by SIGTERM or SIGINT: either
    // way the session goes with it.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
            app.quit();
    });
    // The handler only writes a byte; the event loop does the rest.
    static int quitPipe[2] = {-1, -1};
    if (::pipe(quitPipe) != 0)
        return 1;
    QSocketNotifier quitting(quitPipe[0], QSocketNotifier::Read);
    QObject::connect(&quitting, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    for (const int signal : {SIGTERM, SIGINT})
        std::signal(signal, [](int) { [[maybe_unused]] const auto written = ::write(quitPipe[1], "q", 1); });
    return app.exec();
}
