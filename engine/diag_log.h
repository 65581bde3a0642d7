#pragma once

// The plain-text diagnostics log: one line per event, no timestamps. It lives
// at a fixed path in a world-writable directory, so it never follows a
// symbolic link and never writes into a file that another user owns or that
// has other names. Every error is ignored: diagnostics never fail the audio.

#include <QString>

class DiagLog {
public:
    static QString defaultPath() { return QStringLiteral("/tmp/ravlet-diag.log"); }

    explicit DiagLog(QString path = defaultPath()) : m_path(std::move(path)) {}

    // Replaces the file's contents with this one line.
    void restart(const QString& line) const;
    // Appends one line; creates the file when it is missing.
    void append(const QString& line) const;

    const QString& path() const { return m_path; }

private:
    QString m_path;
};
