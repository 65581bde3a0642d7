#pragma once

// The Core Audio seam answered by a PipeWire daemon. Output devices are the
// daemon's sinks, process objects the client processes that play, and a
// tap, aggregate device and I/O procedure become: the tapped processes'
// streams moved to a private silent sink of ours, and one node of ours that
// reads them and plays the mix on the chosen sink. Several aggregate devices
// may run at once, one per output device, each with a private sink of its
// own, so that each device keeps its own clock. A tap holds every stream
// of the applications its processes belong to, from the moment the daemon
// announces one: a player that starts again, or a helper process an
// application starts, is never heard unscaled. Main thread only, like the
// seam; the I/O block runs on PipeWire's data thread.

#include "audio_hardware.h"
#include "mixer_claim.h"
#include "mix_node_shelf.h"
#include "pipewire_connection.h"
#include "process_inspector.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <map>
#include <memory>
#include <optional>

class AggregateNode;
class StreamMover;

class PipeWireAudioHardware final : public AudioHardware {
public:
    // The process ids given to clients whose own pid cannot be trusted: above
    // anything the kernel hands out, so they never name a real process.
    static constexpr SInt32 kFirstVirtualPid = 1 << 30;

    // The inspector answers which application a process belongs to, as the
    // engine groups processes; it must outlive this.
    PipeWireAudioHardware(PipeWireConnection& connection, ProcessInspector& inspector);
    ~PipeWireAudioHardware() override;

    bool processTapsSupported() const override;
    long audioCaptureAuthorizationStatus() const override;
    // PipeWire asks no leave to read another client's stream.
    bool systemAudioRecordingGranted() const override { return true; }

    bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32* outDataSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32* ioDataSize, void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32 dataSize, const void* data) override;

    OSStatus createProcessTap(const ProcessTapDescription& description, AudioObjectID* outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tapID) override;
    OSStatus createAggregateDevice(const QVariantMap& description, AudioObjectID* outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
    OSStatus createIOProcIDWithBlock(DeviceIOProcID* outIOProcID, AudioObjectID device, DeviceIOQueue queue,
                                     DeviceIOBlock block) override;
    OSStatus destroyIOProcID(AudioObjectID device, DeviceIOProcID ioProcID) override;
    OSStatus deviceStart(AudioObjectID device, DeviceIOProcID ioProcID) override;
    OSStatus deviceStop(AudioObjectID device, DeviceIOProcID ioProcID) override;

    QString unsupportedReason() const override;

private:
    struct Process {
        AudioObjectID id = kAudioObjectUnknown;
        SInt32 pid = 0;
        QList<uint64_t> streams;         // Stream/Output/Audio nodes, by serial
        bool running = false;
        AudioClientFacts facts;
    };
    struct Tap {
        ProcessTapDescription description;
        QString uid;
        // What its processes were when it was made, and the applications
        // they belong to: what it holds and reads.
        QSet<SInt32> pids;
        QSet<QString> applications;
    };
    struct Aggregate {
        QString uid;
        QString masterName;             // the sink's node.name
        std::vector<AudioObjectID> taps;
        std::unique_ptr<AggregateNode> node;
        DeviceIOBlock block;
        DeviceIOProcID proc = nullptr;
        bool started = false;
    };

    // The aggregate device whose I/O procedure ioProcID is; nothing, with
    // the status Core Audio gives, otherwise.
    Aggregate* procOwner(AudioObjectID device, DeviceIOProcID ioProcID, OSStatus& status);

    // Readers of the graph.
    const pw_graph::Node* sink(AudioObjectID device) const;
    std::vector<AudioObjectID> sinks() const;
    AudioObjectID defaultSink() const;
    const QHash<AudioObjectID, Process>& processes() const;
    SInt32 trustedPid(const pw_graph::Client& client) const;
    // The sink a stream was sent to, by the user or the application, when
    // it is not left to the default; a sink of ours is none.
    const pw_graph::Node* chosenSink(const pw_graph::Node& stream) const;
    // The device the process plays on when all its streams were sent to
    // others than the default; unknown otherwise.
    AudioObjectID outputDeviceOf(const Process& process) const;
    // Sends the process's streams to a device, or back to the default (0);
    // held ones go there once they are given back.
    OSStatus setOutputDevice(const Process& process, UInt32 dataSize, const void* data);
    // What a stream's target must say for it to follow the default once
    // ours is gone: none when nothing else sends it elsewhere.
    std::optional<pw_graph::MetadataValue> followDefault(const pw_graph::Node& stream) const;
    std::optional<Float32> volume(const pw_graph::Node& node) const;
    OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                  const void* qualifier, struct PropertyReply& reply) const;
    // The mint: ids for graph objects keyed by serial, never reused in one run.
    AudioObjectID idFor(const QString& key) const;
    void forgetGoneObjects();
    void onGraphChanged();
    void onDisconnect();
    // The streams every started aggregate holds, to the mover, and those
    // held, to each aggregate's slots.
    void updateHolds();
    // A stream of an application of a started aggregate's tap, held the
    // moment it is described, before the session manager links it.
    void onNodeDescribed(uint32_t id);
    void onClientDescribed(uint32_t id);
    void claimIfHeld(const pw_graph::Node& node);
    // The pids and applications a tap over these processes reads.
    void describeTap(Tap& tap) const;
    // What each slot of the aggregate reads, as the mix node keeps its
    // pairs of ports by (see AggregateNode::start).
    QStringList slotKeys(const Aggregate& aggregate) const;
    // Whether the tap reads this application stream.
    bool reads(const Tap& tap, const pw_graph::Node& stream) const;
    // Whether the stream is linked to the sink.
    bool playsInto(const pw_graph::Node& stream, const pw_graph::Node& sink) const;
    // The application a client's process belongs to, as the engine would
    // group it; empty when there is none.
    QString applicationOf(const pw_graph::Client& client) const;
    // A stream that plays an application's own sound and may be moved.
    bool isApplicationStream(const pw_graph::Node& node) const;
    // Whether anything but our own nodes still plays into the device's
    // private sink (by the sink's node.name), or into any of them.
    bool streamsOnHoldSink(const QString& device) const;
    // Whether anything but a node of ours plays on the device (sink name).
    bool othersPlayOn(const QString& device) const;
    bool streamsOnAnyHoldSink() const;
    // A kept mix node went: the private sinks go too, each once nothing
    // plays into it, when no other node of ours is left.
    void retireHoldSink();

    PipeWireConnection& m_connection;
    ProcessInspector& m_inspector;
    std::unique_ptr<StreamMover> m_mover;
    mutable QHash<uint64_t, QString> m_clientApps;   // client serial → application
    // The pids and applications of started aggregates' taps, each with the
    // device it is mixed on, and for the rest of the event loop's turn
    // those of the ones stopped in it.
    QHash<SInt32, QString> m_heldPids;
    QHash<QString, QString> m_heldApps;
    bool m_heldQueued = false;
    // What waits for the event loop goes with this.
    QObject m_events;
    MixerClaim m_claim;
    mutable QHash<QString, AudioObjectID> m_ids;
    mutable QHash<AudioObjectID, QString> m_keys;
    mutable AudioObjectID m_nextID = 100;
    mutable QHash<uint64_t, SInt32> m_virtualPids;   // client serial → pid
    mutable SInt32 m_nextVirtualPid = kFirstVirtualPid;
    mutable QHash<AudioObjectID, Process> m_processes;
    mutable bool m_processesStale = true;
    std::map<AudioObjectID, Tap> m_taps;
    std::map<AudioObjectID, Aggregate> m_aggregates;
    // The nodes of the aggregate devices destroyed last, one per sink, for
    // the next ones.
    MixNodeShelf m_shelf;
    // Mix nodes made for a device that were not ready in time, by device.
    std::map<QString, std::unique_ptr<AggregateNode>> m_unreadyNodes;
    uintptr_t m_nextProc = 1;
};
