#include "quit_signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Written by the handler, read on the main thread.
int pipeEnds[2] = {-1, -1};

void setAction(int signalNumber, void (*handler)(int), int flags)
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    ::sigaction(signalNumber, &action, nullptr);
}

// Only async-signal-safe calls. A full pipe means a quit is already on its
// way; the byte may be dropped.
void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

// Both ends non-blocking (a full pipe must not stall the handler) and closed
// on exec, so that no program started later holds them. macOS has no pipe2:
// there the flags follow the pipe, before any such program can start, as
// this runs at start-up.
bool openPipe(int ends[2])
{
#if defined(__APPLE__)
    if (::pipe(ends) != 0)
        return false;
    for (const int end : {ends[0], ends[1]}) {
        // A new pipe's status flags are all clear: O_NONBLOCK alone is right.
        if (::fcntl(end, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(end, F_SETFL, O_NONBLOCK) != 0) {
            const int savedErrno = errno;
            ::close(ends[0]);
            ::close(ends[1]);
            ends[0] = ends[1] = -1;
            errno = savedErrno;
            return false;
        }
    }
    return true;
#else
    return ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0;
#endif
}

} // namespace

QuitSignals::QuitSignals(QObject* parent)
    : QObject(parent)
{
    if (!openPipe(pipeEnds)) {
        qWarning("[ravlet] cannot watch for quit signals: %s", strerror(errno));
        return;
    }
    m_notifier = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(pipeEnds[0], &byte, 1) == 1)
            emit received(byte);
    });
    // SA_RESETHAND: the second signal finds the default action again.
    for (const int signalNumber : kSignals)
        setAction(signalNumber, onSignal, SA_RESTART | SA_RESETHAND);
}

QuitSignals::~QuitSignals()
{
    if (!m_notifier)
        return;
    for (const int signalNumber : kSignals)
        setAction(signalNumber, SIG_DFL, 0);
    m_notifier.reset();
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}
