#include "crash_guardian.h"

#include "pipewire_connection.h"
#include "stream_journal.h"
#include "stream_mover.h"
#include "system_log.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Where the guardian finds its end of the journal's lock.
constexpr int kClaimFd = 3;
// Above every descriptor the guardian keeps, for the shuffle before exec.
constexpr int kSpareFd = 10;

} // namespace

CrashGuardian::CrashGuardian(int pipe, int claim)
    : m_pipe(pipe)
    , m_claim(claim)
{
}

CrashGuardian::~CrashGuardian()
{
    ::close(m_pipe);
    ::close(m_claim);
}

std::unique_ptr<CrashGuardian> CrashGuardian::start(const QString& journalPath)
{
    if (journalPath.isEmpty()) {
        systemLog(QStringLiteral("[ravlet] no private runtime folder: if Ravlet ends without quitting, the "
                                 "applications it holds play on the default device"));
        return nullptr;
    }
    // A later run waits for the guardian of an earlier one to finish.
    const int claim = stream_journal::claim(journalPath, kWorkMs + 1000);
    if (claim < 0) {
        systemLog(QStringLiteral("[ravlet] the stream journal %1 is held by another run; streams are put back "
                                 "after a crash only at the next start")
                      .arg(journalPath));
        return nullptr;
    }
    int ends[2];
    // Close-on-exec: only the guardian may hold the read end, and nothing
    // this run starts may hold the write end, or the pipe would outlive us.
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        ::close(claim);
        systemLog(QStringLiteral("[ravlet] no guardian for crashes: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return nullptr;
    }
    QByteArray program = QFile::encodeName(QCoreApplication::applicationFilePath());
    QByteArray argument(kArgument);
    QByteArray path = QFile::encodeName(journalPath);
    char* const argv[] = {program.data(), argument.data(), path.data(), nullptr};

    const pid_t child = ::fork();
    if (child == 0) {
        // Async-signal-safe calls only until exec: other threads of the
        // parent may have held any lock at the fork.
        ::setsid();   // no terminal's hang-up or ^C reaches it
        // Its parent ends at once, so no one need ever reap the guardian.
        if (::fork() != 0)
            ::_exit(0);
        const int input = ::fcntl(ends[0], F_DUPFD, kSpareFd);
        const int lock = ::fcntl(claim, F_DUPFD, kSpareFd);
        if (input < 0 || lock < 0 || ::dup2(input, STDIN_FILENO) < 0 || ::dup2(lock, kClaimFd) < 0)
            ::_exit(127);
        ::close_range(kClaimFd + 1, ~0U, 0);
        // By its path, so that it is named as the program; the running image
        // when that path is gone.
        ::execv(argv[0], argv);
        ::execv("/proc/self/exe", argv);
        ::_exit(127);
    }
    ::close(ends[0]);
    if (child < 0) {
        ::close(ends[1]);
        ::close(claim);
        systemLog(QStringLiteral("[ravlet] no guardian for crashes: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        return nullptr;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return std::unique_ptr<CrashGuardian>(new CrashGuardian(ends[1], claim));
}

int runCrashGuardian(int argc, char** argv)
{
    const QString journal = argc > 2 ? QFile::decodeName(argv[2]) : QString();
    // Its run's pipe, or nothing to guard: started by hand at a terminal it
    // would wait for a hang-up.
    struct stat input {};
    if (::fstat(STDIN_FILENO, &input) != 0 || !S_ISFIFO(input.st_mode))
        return 2;
    // Asleep, and no client of the audio server, for as long as the run lives.
    char buffer[256];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR))
            break;
    }
    // Never left running: a daemon that does not answer ends the guardian.
    ::alarm(unsigned(CrashGuardian::kWorkMs / 1000));

    // Only a journal nobody else holds is acted on: this run's, now that it
    // has ended, or one no run holds. One started by hand beside a running
    // mixer does nothing.
    if (!stream_journal::holdsClaim(kClaimFd, journal) && stream_journal::claim(journal, 0) < 0)
        return 0;
    const std::optional<QByteArray> entries = stream_journal::read(journal);
    if (!entries || QJsonDocument::fromJson(*entries).array().isEmpty())
        return 0;

    QCoreApplication app(argc, argv);
    PipeWireConnection connection(nullptr, PipeWireConnection::Role::Restorer);
    if (!connection.isConnected()) {
        systemLog(QStringLiteral("[ravlet] no audio server answered; the streams Ravlet held are put back at its "
                                 "next start"));
        return 1;
    }
    // Puts back what the journal lists as it connects, and waits on its way
    // out for the daemon to have done it.
    StreamMover mover(connection, journal);
    return 0;
}
