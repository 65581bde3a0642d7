#include "update_offer.h"

#include "tool_runner.h"

bool bundleOffersUpdates(const UpdaterTools& tools, const QString& bundlePath, const QString& bundleID,
                         const QString& teamID, std::chrono::milliseconds deadline)
{
    // "-R=text": a requirement given as text rather than as a file's path.
    return runTool(tools.codesign,
                   {QStringLiteral("--verify"), QStringLiteral("--ignore-resources"),
                    QStringLiteral("-R=") + developerIDRequirement(bundleID, teamID), bundlePath},
                   deadline)
        .ok;
}
