#pragma once

// Waiting on a running program's own event loop: what happens in Ravlet
// (its PipeWire connection, its timers) keeps happening while a test or the
// tour waits for an outcome.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <functional>

// Runs the event loop until done() holds (true) or timeoutMs passes (false).
inline bool pumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

inline void pumpFor(int milliseconds)
{
    pumpUntil([] { return false; }, milliseconds);
}
