#include "bundle_process_inspector.h"

namespace {

const QString kAppSuffix = QStringLiteral(".app");
const QString kApplicationsFolder = QStringLiteral("/Applications/");

} // namespace

QStringList pathComponents(const QString& path)
{
    QStringList components;
    if (path.startsWith(QLatin1Char('/')))
        components.append(QStringLiteral("/"));
    for (const QString& part : path.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        components.append(part);
    return components;
}

QString pathWithComponents(const QStringList& components)
{
    if (components.isEmpty())
        return {};
    if (components.first() == QLatin1String("/"))
        return QLatin1Char('/') + components.mid(1).join(QLatin1Char('/'));
    return components.join(QLatin1Char('/'));
}

std::optional<AppPath> exeAppPath(const BundleProcessInspector& processes, ProcessInspector::Pid pid)
{
    constexpr std::uint32_t kBufferSize = 4096;
    char buffer[kBufferSize] = {};
    if (processes.pidPath(pid, buffer, kBufferSize) <= 0)
        return std::nullopt;
    buffer[kBufferSize - 1] = '\0';

    const QStringList components = pathComponents(QString::fromUtf8(buffer));
    for (qsizetype i = 0; i < components.size(); ++i) {
        if (!components.at(i).endsWith(kAppSuffix))
            continue;
        AppPath result;
        result.path = pathWithComponents(components.first(i + 1));
        result.name = processes.displayNameAtPath(result.path);
        if (result.name.endsWith(kAppSuffix))
            result.name.chop(kAppSuffix.size());
        return result;
    }
    return std::nullopt;
}

// Bundles say everything here: the audio server's facts are never asked for.
std::optional<AppIdentity> BundleProcessInspector::applicationOf(Pid pid, const FactsSource& /*facts*/)
{
    if (pid <= 0)
        return std::nullopt;
    std::optional<AppPath> app = exeAppPath(*this, pid);
    if (!app || !app->path.contains(kApplicationsFolder)) {
        if (!hasResponsibilityLookup())
            return std::nullopt;
        const Pid responsible = responsiblePid(pid);
        if (responsible <= 0 || responsible == pid)
            return std::nullopt;
        app = exeAppPath(*this, responsible);
        if (!app || !app->path.contains(kApplicationsFolder))
            return std::nullopt;
    }
    return AppIdentity{app->path, app->name, app->path};
}
