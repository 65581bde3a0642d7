#pragma once

// One output device's share of the tap setup: the private aggregate device
// on it, the I/O procedure that mixes there, the taps it reads (one slot
// each, in order) and the render storage its block uses. Each device in use
// gets its own: one aggregate over two devices would tie them to one clock,
// which drifts on hardware with clocks of their own.

#include "audio_hardware.h"
#include "render.h"

#include <QList>
#include <QStringList>

#include <memory>

struct DeviceMix {
    AudioObjectID device = kAudioObjectUnknown;     // the output device it plays on
    QString deviceUID;
    AudioObjectID aggregate = kAudioObjectUnknown;
    DeviceIOProcID ioProc = nullptr;
    QList<AudioObjectID> taps;                      // slot order: the mixed, then the metered
    QStringList ids;                                // the application of each mixed slot
    // Applications that play straight to the device, tapped without
    // changing their sound only to show their levels: the slots after ids.
    QStringList meterIDs;
    QStringList slotIDs;                            // ids, then meterIDs
    // Shared with the I/O thread: the block holds it weakly, and the engine
    // keeps it while a block may run.
    std::shared_ptr<RenderState> state;
};
