#pragma once

// Waiting on a running program's own event loop: what happens in Ravlet
// (its PipeWire connection, its timers) keeps happening while a test or the
// tour waits for an outcome, and as promptly as in the program. A wait that
// slept between turns would let Ravlet answer the daemon milliseconds late,
// and lose races to the session manager the program wins.

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <limits>
#include <future>

// Runs the event loop until done() holds (true) or timeoutMs passes (false).
inline bool pumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    // Wakes the wait below now and then to look at done() and the deadline;
    // every other event is handled the moment it comes.
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

inline void pumpFor(int milliseconds)
{
    pumpUntil([] { return false; }, milliseconds);
}

// The result of work running on another thread, this thread's events pumped
// meanwhile.
template <typename T>
T pumpUntilReady(std::future<T>& work)
{
    pumpUntil([&] { return work.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
              std::numeric_limits<int>::max());
    return work.get();
}
