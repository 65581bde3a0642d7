#pragma once

// The Core Audio seam answered by a PipeWire daemon. Output devices are the
// daemon's sinks, process objects the client processes that play, and a
// tap, aggregate device and I/O procedure become: the tapped processes'
// streams moved to a private silent sink of ours, and one node of ours that
// reads them and plays the mix on the chosen sink. Main thread only, like
// the seam; the I/O block runs on PipeWire's data thread.

#include "audio_hardware.h"
#include "mix_node_shelf.h"
#include "pipewire_connection.h"
#include "process_inspector.h"

#include <QHash>
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

    explicit PipeWireAudioHardware(PipeWireConnection& connection);
    ~PipeWireAudioHardware() override;

    bool processTapsSupported() const override;
    long audioCaptureAuthorizationStatus() const override;

    bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32* outDataSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32* ioDataSize, void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32 dataSize, const void* data) override;

    OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tapID) override;
    OSStatus createAggregateDevice(const QVariantMap& description, AudioObjectID* outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
    OSStatus createIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID device, dispatch_queue_t queue,
                                     AudioDeviceIOBlock block) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID ioProcID) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID ioProcID) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID ioProcID) override;

    QString unsupportedReason() const override { return m_connection.problem(); }

private:
    struct Process {
        AudioObjectID id = kAudioObjectUnknown;
        SInt32 pid = 0;
        QList<uint32_t> streams;         // Stream/Output/Audio nodes
        bool running = false;
        AudioClientFacts facts;
    };
    struct Tap {
        CATapDescription description;
        QString uid;
    };
    struct Aggregate {
        QString uid;
        QString masterName;             // the sink's node.name
        std::vector<AudioObjectID> taps;
        std::unique_ptr<AggregateNode> node;
        AudioDeviceIOBlock block;
        AudioDeviceIOProcID proc = nullptr;
        bool started = false;
    };

    // The aggregate device whose I/O procedure ioProcID is; nothing, with
    // the status Core Audio gives, otherwise.
    Aggregate* procOwner(AudioObjectID device, AudioDeviceIOProcID ioProcID, OSStatus& status);

    // Readers of the graph.
    const pw_graph::Node* sink(AudioObjectID device) const;
    std::vector<AudioObjectID> sinks() const;
    AudioObjectID defaultSink() const;
    const QHash<AudioObjectID, Process>& processes() const;
    SInt32 trustedPid(const pw_graph::Client& client) const;
    std::optional<Float32> volume(const pw_graph::Node& node) const;
    OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                  const void* qualifier, struct PropertyReply& reply) const;
    // The mint: ids for graph objects keyed by serial, never reused in one run.
    AudioObjectID idFor(const QString& key) const;
    void forgetGoneObjects();
    void onGraphChanged();
    void onDisconnect();
    // The streams every started aggregate holds, to the mover.
    void updateHolds();
    // Whether anything but our own nodes still plays into our private sink.
    bool streamsOnHoldSink() const;

    PipeWireConnection& m_connection;
    std::unique_ptr<StreamMover> m_mover;
    mutable QHash<QString, AudioObjectID> m_ids;
    mutable QHash<AudioObjectID, QString> m_keys;
    mutable AudioObjectID m_nextID = 100;
    mutable QHash<uint64_t, SInt32> m_virtualPids;   // client serial → pid
    mutable SInt32 m_nextVirtualPid = kFirstVirtualPid;
    mutable QHash<AudioObjectID, Process> m_processes;
    mutable bool m_processesStale = true;
    std::map<AudioObjectID, Tap> m_taps;
    std::map<AudioObjectID, Aggregate> m_aggregates;
    // The node of the aggregate device destroyed last, for the next one.
    MixNodeShelf m_shelf;
    uintptr_t m_nextProc = 1;
};
