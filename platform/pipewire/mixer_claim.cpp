#include "mixer_claim.h"

#include "proc_files.h"
#include "system_log.h"

#include <unistd.h>

bool MixerClaim::believable(const pw_graph::Client& client)
{
    static const ProcFiles proc;
    static const QString program = proc.executable(::getpid());
    if (client.securePid <= 0 || client.secureUid != qint64(::getuid()) || program.isEmpty())
        return false;
    const std::optional<uid_t> owner = proc.owner(client.securePid);
    return owner && *owner == ::getuid() && proc.executable(client.securePid) == program;
}

const pw_graph::Client* MixerClaim::olderMixer(const pw_graph::Graph& graph, const QString& ownMark)
{
    if (ownMark.isEmpty())
        return nullptr;
    const pw_graph::Client* own = nullptr;
    const pw_graph::Client* oldest = nullptr;
    for (const pw_graph::Client& client : graph.clients) {
        if (client.mixerMark.isEmpty())
            continue;
        if (client.mixerMark == ownMark)
            own = &client;
        else if (believable(client) && (!oldest || client.serial < oldest->serial))
            oldest = &client;
    }
    return oldest && (!own || oldest->serial < own->serial) ? oldest : nullptr;
}

QString MixerClaim::reason(const pw_graph::Client& other)
{
    return QStringLiteral("Another Ravlet (process %1, by its own account) already mixes this audio server, perhaps "
                          "from another login. This one changes nothing until that one quits.")
        .arg(other.securePid);
}

void MixerClaim::update(const pw_graph::Graph& graph, const QString& ownMark)
{
    const pw_graph::Client* other = olderMixer(graph, ownMark);
    if ((other != nullptr) == m_standingBack)
        return;
    m_standingBack = other != nullptr;
    systemLog(other ? QStringLiteral("[ravlet] another Ravlet (process %1) mixes this audio server; this one taps "
                                     "nothing until it quits")
                          .arg(other->securePid)
                    : QStringLiteral("[ravlet] no other Ravlet mixes this audio server any more; this one takes over"));
}
