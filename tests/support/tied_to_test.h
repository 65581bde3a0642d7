#pragma once

// A process a test starts ends with the test: also when the test crashes or
// its runner kills it at the timeout, when no destructor runs. The kernel
// sends the child SIGKILL as its parent ends; a parent that ended before
// that was set (between fork and the prctl) is caught by the getppid check.

#include <QProcess>

#ifdef __linux__
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

inline void tieToTest(QProcess& process)
{
#ifdef __linux__
    const pid_t test = ::getpid();
    process.setChildProcessModifier([test] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != test)
            ::_exit(127);
    });
#else
    (void)process;
#endif
}
