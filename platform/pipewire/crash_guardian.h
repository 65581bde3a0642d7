#pragma once

// Putting the user's streams back when the mixer dies without a word (a
// kill, a crash). A tapped application's streams are aimed at our private
// sink through a key the session manager remembers; when the sink dies with
// us, they would fall to the default device, far from the one the user
// chose, until the next start. So each run starts a guardian: this program
// again, in a session of its own, holding the read end of a pipe whose
// write end only the run holds. The guardian sleeps on that pipe, with no
// audio server connection, until it closes (which the kernel does however
// the run ends), then puts back what the stream journal lists, exactly as a
// start-up would, and ends. After a clean quit the journal lists nothing and
// it ends at once. The run and its guardian share one lock on the journal,
// so the next run waits until the guardian is done with it.

#include <QString>

#include <memory>

class CrashGuardian {
public:
    // What the guardian is told to be on its command line.
    static constexpr const char* kArgument = "--guardian";
    // How long a guardian may work once its run is gone; a later run waits
    // that long for the journal.
    static constexpr int kWorkMs = 3000;

    // Claims the journal for this run and starts its guardian; nothing (said
    // in the log) when there is no journal or no guardian could be started.
    // Call it before anything writes or reads the journal. Main thread only.
    static std::unique_ptr<CrashGuardian> start(const QString& journalPath);
    // Closes the pipe: the guardian finds what this run has left in the
    // journal (nothing, after a clean quit) and ends.
    ~CrashGuardian();

    CrashGuardian(const CrashGuardian&) = delete;
    CrashGuardian& operator=(const CrashGuardian&) = delete;

private:
    CrashGuardian(int pipe, int claim);

    int m_pipe = -1;
    int m_claim = -1;
};

// The guardian's side: main() of the program started with kArgument. Waits
// for standard input to close, then restores the journal; its exit status.
int runCrashGuardian(int argc, char** argv);
