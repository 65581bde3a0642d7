// libFuzzer target: the desktop-entry parser, which reads files any program
// of the user's (or a package) may have written. Besides not crashing, what
// it returns must hold together: an entry is never larger than its file, a
// program split from Exec splits again the same way once quoted back.

#include "desktop_entry.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const char* locale : {"", "de_DE.UTF-8@euro", "sr@latin"}) {
        const std::optional<DesktopEntry> entry =
            parseDesktopEntry(bytes, QStringLiteral("org.example.Fuzz.desktop"), QString::fromLatin1(locale));
        if (!entry)
            continue;
        if (size > std::size_t(maxDesktopEntryBytes))
            fail("an entry was read from a file past the size limit");
        if (!entry->hidden && entry->name.isEmpty())
            fail("an application entry without a name");
        (void)entry->isTerminalEmulator();
        (void)programName(entry->program, entry->arguments);
    }

    // The bytes as an Exec value on their own.
    const QString exec = QString::fromUtf8(bytes);
    if (const std::optional<QStringList> words = splitExec(exec)) {
        (void)scriptArgument(*words);
        if (!words->isEmpty())
            (void)isInterpreter(words->first());
    }
    return 0;
}
