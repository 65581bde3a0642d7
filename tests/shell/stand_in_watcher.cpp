// A panel's tray host in a few lines, for driving the real program's tray
// item from a script: prints each item's bus name as it registers.

#include "stand_in_watcher.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    StandInWatcher watcher;
    watcher.onRegistered = [](const QString& service) {
        std::printf("%s\n", qPrintable(service));
        std::fflush(stdout);
    };
    if (!watcher.serve(QDBusConnection::sessionBus())) {
        std::fprintf(stderr, "cannot serve the watcher: %s\n",
                     qPrintable(QDBusConnection::sessionBus().lastError().message()));
        return 1;
    }
    return app.exec();
}
