#pragma once

// The file in which a run writes down the streams it has taken off their
// devices, so that what a killed run changed can be put back. What it says
// re-targets the user's streams, so it lives only in the user's private
// runtime folder, and only a regular file of ours with one name is read or
// replaced; a journal anyone else could have made or pointed elsewhere is
// no journal. Main thread only.

#include <QByteArray>
#include <QString>

#include <optional>

namespace stream_journal {

// Larger than any journal of 16 applications' streams; anything bigger is
// not one of ours.
inline constexpr qint64 kMaxBytes = 1024 * 1024;

// "ravlet/moved-streams.json" in the private runtime folder; empty when the
// user has none, and then nothing is journalled.
QString defaultPath();

// The journal's bytes. Nothing when there is none, or when it is not a
// regular file of this user with one link in a private folder of the
// user's (said in the log), or too large.
std::optional<QByteArray> read(const QString& path);
// Replaces the journal whole (a new file renamed over it, so a reader never
// sees half of one and a link planted at the path is replaced, not
// followed). The folder is made, private, when it is missing. False when
// it could not be written.
bool write(const QString& path, const QByteArray& bytes);

// Takes the journal for this run: an exclusive lock, on a file beside it,
// which the run's guardian shares (the descriptor is inherited) and keeps
// until it has put back what the journal lists. Waits up to timeoutMs for
// a guardian of an earlier run still at work. The descriptor, close-on-exec,
// or -1.
int claim(const QString& path, int timeoutMs);
// Whether fd is the lock file claim() takes for path and holds its lock
// (taking it when nobody does).
bool holdsClaim(int fd, const QString& path);

} // namespace stream_journal
