#pragma once

// The Core Audio hardware layer as the engine sees it: the same calls, the
// same arguments, the same statuses. A macOS build forwards every member to
// the AudioObject* / AudioHardware* / AudioDevice* function of the same name;
// the simulated hardware answers them from an in-memory model. All calls are
// made from the main thread.

#include "client_properties.h"
#include "core_audio_types.h"

#include <QString>
#include <QUuid>
#include <QVariantMap>

#include <functional>
#include <vector>

// What Core Audio's CATapDescription carries: the processes to tap, mixed
// down to one stereo stream, and how the tap behaves.
struct ProcessTapDescription {
    std::vector<AudioObjectID> processes;   // initStereoMixdownOfProcesses:
    bool stereoMixdown = true;
    QString name;
    QUuid uuid = QUuid::createUuid();
    int muteBehavior = kTapUnmuted;
    bool isPrivate = false;
    // As Core Audio's bundleIDs and processRestoreEnabled (macOS 26): the
    // applications (by our application id) whose processes the tap takes
    // in again when they start anew, even after all of them had ended, so
    // that a muted application that starts again is never heard unscaled.
    // With restore on, the process list may be empty.
    std::vector<QString> bundleIDs;
    bool processRestoreEnabled = false;
};

// The I/O block: called on the device's real-time thread once per cycle.
// The time stamps may be null; nothing here may allocate, lock or wait.
using DeviceIOBlock = std::function<void(const AudioTimeStamp* now, const AudioBufferList* inputData,
                                              const AudioTimeStamp* inputTime, AudioBufferList* outputData,
                                              const AudioTimeStamp* outputTime)>;
using DeviceIOProcID = struct OpaqueDeviceIOProcID*;
using DeviceIOQueue = struct OpaqueDeviceIOQueue*;

class AudioHardware {
public:
    virtual ~AudioHardware() = default;

    // Whether the running system offers process taps (macOS 14.2 or newer).
    // May change while the program runs (an audio server that comes and goes).
    virtual bool processTapsSupported() const = 0;
    // Why it does not, in the user's words, while it does not.
    virtual QString unsupportedReason() const
    {
        return QStringLiteral("Ravlet needs macOS 14.2 or newer (Core Audio process taps).");
    }

    // AVCaptureDevice authorizationStatusForMediaType: with AVMediaTypeAudio,
    // as its raw value; read for diagnostics only.
    virtual long audioCaptureAuthorizationStatus() const = 0;

    // Whether taps are known to deliver what they tap. macOS asks the user
    // for leave to record system audio (Screen & System Audio Recording) the
    // first time an aggregate device with a tap starts, and no public call
    // tells whether it was given; without it taps deliver silence while a
    // muting tap still mutes. So Core Audio says no, and the engine listens
    // before it silences anything that should be heard; a sound server that
    // asks no leave says yes.
    virtual bool systemAudioRecordingGranted() const { return false; }

    virtual bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) = 0;

    virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize) = 0;

    // On entry *ioDataSize is the room in outData; on success it is the number
    // of bytes written. String properties write one CFStringRef that the
    // caller releases.
    virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32* ioDataSize,
                                     void* outData) = 0;

    virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32 dataSize,
                                     const void* data) = 0;

    // AudioHardwareCreateProcessTap / AudioHardwareDestroyProcessTap
    virtual OSStatus createProcessTap(const ProcessTapDescription& description, AudioObjectID* outTapID) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tapID) = 0;

    // AudioHardwareCreateAggregateDevice / AudioHardwareDestroyAggregateDevice.
    // The description uses the kAudioAggregateDevice…Key names; sub-device
    // and tap lists are lists of dictionaries.
    virtual OSStatus createAggregateDevice(const QVariantMap& description, AudioObjectID* outDeviceID) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) = 0;

    // AudioDeviceCreateIOProcIDWithBlock / AudioDeviceDestroyIOProcID. With
    // no queue the block runs on the device's own real-time I/O thread.
    virtual OSStatus createIOProcIDWithBlock(DeviceIOProcID* outIOProcID, AudioObjectID device,
                                             DeviceIOQueue queue, DeviceIOBlock block) = 0;
    virtual OSStatus destroyIOProcID(AudioObjectID device, DeviceIOProcID ioProcID) = 0;

    // AudioDeviceStart / AudioDeviceStop. Stop returns only once the block is
    // no longer running.
    virtual OSStatus deviceStart(AudioObjectID device, DeviceIOProcID ioProcID) = 0;
    virtual OSStatus deviceStop(AudioObjectID device, DeviceIOProcID ioProcID) = 0;
};
