#include "update_offer.h"

#include "tool_runner.h"

#include <QStringList>

namespace {

const QString kAuthority = QStringLiteral("Authority=");

QString valueOf(const QStringList& lines, const QString& key)
{
    for (const QString& line : lines) {
        if (line.startsWith(key))
            return line.mid(key.size());
    }
    return {};
}

} // namespace

bool developerIDSigned(const QString& codesignDisplay, const QString& bundleID, const QString& teamID)
{
    const QStringList lines = codesignDisplay.split(QLatin1Char('\n'));
    if (lines.contains(QStringLiteral("Signature=adhoc")) || valueOf(lines, QStringLiteral("Identifier=")) != bundleID
        || !signedByTeam(codesignDisplay, teamID))
        return false;
    // The chain from the leaf up; codesign prints one Authority line per
    // certificate. An Apple Development or Distribution leaf is not one a
    // release is signed with.
    QStringList chain;
    for (const QString& line : lines) {
        if (line.startsWith(kAuthority))
            chain.append(line.mid(kAuthority.size()));
    }
    return chain.size() >= 2 && chain.first().startsWith(QLatin1String("Developer ID Application: "))
        && chain.first().endsWith(QLatin1Char('(') + teamID + QLatin1Char(')'))
        && chain.last() == QLatin1String("Apple Root CA");
}

bool bundleOffersUpdates(const UpdaterTools& tools, const QString& bundlePath, const QString& bundleID,
                         const QString& teamID, std::chrono::milliseconds deadline)
{
    const ToolResult display
        = runTool(tools.codesign, {QStringLiteral("-dv"), QStringLiteral("--verbose=4"), bundlePath}, deadline);
    return display.ok && developerIDSigned(display.output, bundleID, teamID);
}
