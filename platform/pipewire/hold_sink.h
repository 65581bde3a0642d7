#pragma once

// A private silent sink that tapped applications' streams are sent to,
// where nothing hears them directly: one for each output device that mixes
// (see StreamMover). It is known by the node our own proxy was bound to,
// never by its name, which any client can give a node of its own. It never
// becomes the default output: when another program makes it so, the user's
// previous default is put back. Main thread only.

#include "pipewire_connection.h"

#include <spa/utils/hook.h>

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

struct pw_proxy;

class HoldSink : public QObject {
    Q_OBJECT
public:
    // namesAnyOfOurs: whether a target value names this or another sink of
    // ours, none of which is ever the user's default to put back.
    HoldSink(PipeWireConnection& connection, std::function<bool(const QString&)> namesAnyOfOurs);
    ~HoldSink() override;

    // Makes the sink when there is none and waits for it a moment
    // (PipeWireConnection::kPlacedWaitMs); false when it could not be made
    // or is not there yet. Runs the loop: never from inside a PipeWire event.
    bool ensure();
    // Our node's id; 0 while there is none. While the sink is being made
    // anew under a new name, the one it replaces until the new one is there.
    uint32_t nodeId() const;
    // Whether the node is ours: the sink, or the one it replaces.
    bool holds(uint32_t node) const;
    // Made anew under a new name a moment ago, and not yet there: streams
    // are sent to it once it is.
    bool isRenaming() const { return m_retiring && !boundNode(m_proxy); }
    // What "target.object" names it by. Its own name, new every run, as a
    // name is what the session manager never remembers as a stream's target.
    // Any client can give a node of its own that name, and the session
    // manager may then send our streams there: a sink made while another
    // client's node has its name is made under a new one.
    QString targetValue() const { return m_name; }
    // Whether a target value names our sink (by its name or its serial), or
    // a sink of ours this run made before under another name. The session
    // manager finds a target by name, whichever node has it: when another
    // client's node takes our sink's name, ours is made anew under a new one
    // and our streams are sent there; the old one goes once nothing is
    // linked to it.
    bool isNamedBy(const QString& value) const;
    // Whether it names the sink as it is now: its name or its node's serial.
    bool isCurrentTarget(const QString& value) const;
    // Whether it names a sink of ours made before under another name: a
    // stream sent there is sent to this one instead.
    bool isFormerName(const QString& value) const { return m_formerNames.contains(value); }
    // Made by this program's connection, our sink among them.
    bool isOurs(const pw_graph::Node& node) const;
    void destroy();

private:
    uint32_t boundNode(pw_proxy* proxy) const;
    pw_proxy* create();
    void renameWhenTaken();
    void takeNewName();
    void dropRetiring();
    void guardDefault();
    bool namesOurs(const QString& value) const;

    PipeWireConnection& m_connection;
    std::function<bool(const QString&)> m_namesAnyOfOurs;
    QString m_name;
    QStringList m_formerNames;
    pw_proxy* m_proxy = nullptr;
    spa_hook m_listener{};
    // The sink we made before under the name another client's node took.
    pw_proxy* m_retiring = nullptr;
    // The configured default as another program last left it, naming a sink
    // not ours; nothing when the key was not set.
    std::optional<pw_graph::MetadataValue> m_userDefault;
    bool m_puttingBack = false;
};
