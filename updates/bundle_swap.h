#pragma once

// Putting a new application bundle in place of the running one, keeping the
// old one as a hidden backup beside it, so that an interruption at any point
// (a crash, SIGKILL, power loss) is recognised and undone at the next launch.
// Before anything moves, a journal next to the bundle names the bundle, the
// backup and the new copy, by the file system's identity of its directory,
// which moves with it. Where the file system can exchange two names in one
// step, the bundle's path never stands empty.

#include "file_operations.h"

#include <QString>

#include <functional>
#include <optional>
#include <sys/types.h>

// The moves and removals a swap makes; tests put failing ones in.
struct SwapFileOperations {
    std::function<bool(const QString& from, const QString& to)> move = moveItem;
    std::function<Exchange(const QString& first, const QString& second)> exchange = exchangeItems;
    std::function<bool(const QString& path)> remove = [](const QString& path) { return removeItem(path); };
};

class BundleSwap {
public:
    enum class Result {
        Swapped,    // the new bundle at the bundle's path, the old one at the backup's
        Undone,     // the old bundle at its path, as before
        Stranded,   // the old bundle could not be put back: it is at the backup's path
    };

    BundleSwap(QString bundle, QString backup, SwapFileOperations files = {});

    // staged: a real directory on the bundle's file system.
    Result swapIn(const QString& staged);
    // After Swapped: the old bundle back in place, the new one removed.
    Result rollBack();
    // After Swapped: the new bundle is accepted. The backup stays for the
    // next launch's cleanup.
    void commit();

    const QString& backup() const { return m_backup; }

    // Where the journal of a swap of bundle lives: beside it, hidden.
    static QString journalPath(const QString& bundle);
    // What the next launch does first: a swap of bundle that was interrupted
    // is undone. False while that cannot be done; the journal then stays,
    // and no backup beside the bundle may be removed.
    static bool recoverInterrupted(const QString& bundle, const SwapFileOperations& files = {});

private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        bool operator==(const Identity&) const = default;
    };
    static std::optional<Identity> identityOf(const QString& path);

    bool writeJournal() const;
    // Brings things back to the old bundle at its path, from wherever an
    // attempt stopped; the journal goes once that is so.
    Result settle();

    QString m_bundle;
    QString m_backup;
    SwapFileOperations m_files;
    Identity m_new;
};
