#pragma once

// The signals that ask a program to end (SIGTERM at logout and shutdown,
// SIGINT and SIGHUP from a terminal) brought into the event loop, so that
// they quit the way the power button does: an update's swap allowed to
// finish, the settings written. The handler only writes the signal's number
// to a pipe, which a notifier reads on the main thread. A second signal of
// the same kind takes its default action at once, for a quit that hangs.
// One instance at a time; it restores the default actions when it goes.

#include <QObject>
#include <QSocketNotifier>

#include <memory>

class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

signals:
    void received(int signalNumber);

private:
    std::unique_ptr<QSocketNotifier> m_notifier;
};
