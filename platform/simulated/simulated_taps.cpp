// Process taps, aggregate devices built on them and the I/O procedures that
// read them: each checked as Core Audio checks it before anything is created.

#include "simulated_model.h"

#include "aggregate_description.h"

using namespace simulated;

bool SimulatedAudioHardware::processTapsSupported() const
{
    const Lock lock(m->mutex);
    return m->tapsSupported;
}

long SimulatedAudioHardware::audioCaptureAuthorizationStatus() const
{
    const Lock lock(m->mutex);
    return m->authorization;
}

void SimulatedAudioHardware::setProcessTapsSupported(bool supported)
{
    const Lock lock(m->mutex);
    m->tapsSupported = supported;
}

void SimulatedAudioHardware::setTapsWaitForProcesses(bool wait)
{
    const Lock lock(m->mutex);
    m->tapsWait = wait;
}

void SimulatedAudioHardware::setProcessesRoutable(bool routable)
{
    const Lock lock(m->mutex);
    m->processesRoutable = routable;
}

void SimulatedAudioHardware::setAudioCaptureAuthorizationStatus(long status)
{
    const Lock lock(m->mutex);
    m->authorization = status;
}

OSStatus SimulatedAudioHardware::createProcessTap(const ProcessTapDescription& description, AudioObjectID* outTapID)
{
    m->takeTime([this] {
        const Lock lock(m->mutex);
        return m->timings.tapCreation;
    }());
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::CreateProcessTap, kAudioObjectUnknown)) {
        if (*fault == kAudioHardwareNoError && outTapID)
            *outTapID = kAudioObjectUnknown;
        return *fault;
    }
    if (!outTapID)
        return kAudioHardwareIllegalOperationError;
    // Before macOS 14.2 the call does not exist; nothing may pretend it worked.
    if (!m->tapsSupported)
        return kAudioHardwareUnsupportedOperationError;
    const bool waits = m->tapsWait && description.processRestoreEnabled && !description.bundleIDs.empty();
    if (description.processes.empty() && !waits)
        return kAudioHardwareIllegalOperationError;
    std::vector<AudioObjectID> processes;
    for (AudioObjectID process : description.processes) {
        if (!m->knownProcess(process))
            return kAudioHardwareBadObjectError;
        if (std::find(processes.begin(), processes.end(), process) == processes.end())
            processes.push_back(process);
    }
    const AudioObjectID id = m->nextId++;
    m->taps.emplace(id, TapRecord{description, description.uuid.toString(QUuid::WithoutBraces).toUpper(),
                                  std::move(processes)});
    *outTapID = id;
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyProcessTap(AudioObjectID tapID)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::DestroyProcessTap, tapID))
        return *fault;
    // Aggregates that list the tap stay; they read silence from then on.
    return m->taps.erase(tapID) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

OSStatus SimulatedAudioHardware::createAggregateDevice(const QVariantMap& description, AudioObjectID* outDeviceID)
{
    m->takeTime([this] {
        const Lock lock(m->mutex);
        return m->timings.aggregateCreation;
    }());
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::CreateAggregateDevice, kAudioObjectUnknown)) {
        if (*fault == kAudioHardwareNoError && outDeviceID)
            *outDeviceID = kAudioObjectUnknown;
        return *fault;
    }
    if (!outDeviceID)
        return kAudioHardwareIllegalOperationError;

    const QString uid = description.value(QLatin1String(kAudioAggregateDeviceUIDKey)).toString();
    if (uid.isEmpty() || m->deviceWithUID(uid))
        return kAudioHardwareIllegalOperationError;
    const auto subDevices = descriptionList(description, kAudioAggregateDeviceSubDeviceListKey);
    const auto tapList = descriptionList(description, kAudioAggregateDeviceTapListKey);
    if (!subDevices || !tapList)
        return kAudioHardwareIllegalOperationError;

    // Aggregates do not nest: the master and every sub-device are real devices.
    auto realDevice = [this](const QString& uid) -> const DeviceRecord* {
        const DeviceRecord* d = m->device(m->deviceWithUID(uid));
        return d && !d->aggregate ? d : nullptr;
    };
    const QString masterUID = description.value(QLatin1String(kAudioAggregateDeviceMainSubDeviceKey)).toString();
    const AudioObjectID masterID = m->deviceWithUID(masterUID);
    const DeviceRecord* master = realDevice(masterUID);
    if (!master)
        return kAudioHardwareBadDeviceError;
    for (const QVariant& entry : *subDevices) {
        if (!realDevice(entryUID(entry, kAudioSubDeviceUIDKey)))
            return kAudioHardwareBadDeviceError;
    }
    std::vector<AudioObjectID> tapIDs;
    for (const QVariant& entry : *tapList) {
        const QString tapUID = entryUID(entry, kAudioSubTapUIDKey);
        const auto found = std::find_if(m->taps.begin(), m->taps.end(),
                                        [&](const auto& tap) { return !tapUID.isEmpty() && tap.second.uid == tapUID; });
        if (found == m->taps.end())
            return kAudioHardwareBadObjectError;
        tapIDs.push_back(found->first);
    }

    auto record = std::make_unique<AggregateRecord>();
    record->description = description;
    record->master = masterID;
    record->taps = tapIDs;
    record->masterInputBuffers = master->spec.inputChannels.size();
    DeviceSpec spec{description.value(QLatin1String(kAudioAggregateDeviceNameKey)).toString(), uid,
                    master->spec.outputChannels, master->spec.inputChannels, std::nullopt};
    spec.inputChannels.insert(spec.inputChannels.end(), tapIDs.size(), 2);
    record->input.allocate(spec.inputChannels);

    const AudioObjectID id = m->nextId++;
    DeviceRecord& d = m->devices[id];
    d.spec = std::move(spec);
    d.aggregate = std::move(record);
    *outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyAggregateDevice(AudioObjectID deviceID)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::DestroyAggregateDevice, deviceID))
        return *fault;
    if (!m->aggregate(deviceID))
        return kAudioHardwareBadObjectError;
    // From inside a block the device's own blocks are still on the stack.
    if (m->inCycle)
        return kAudioHardwareIllegalOperationError;
    // AudioHardware.h documents no outcome for destroying an aggregate device
    // whose I/O is running ("Destroys the given AudioAggregateDevice"); the
    // simulation goes along with it but keeps a record.
    if (m->anyStarted(deviceID))
        m->doubtful.append(QStringLiteral("destroyed aggregate device %1 while its I/O ran").arg(deviceID));
    m->destroyIOProcsOf(deviceID);
    m->devices.erase(deviceID);
    if (m->defaultOutput == deviceID)
        m->defaultOutput = kAudioObjectUnknown;
    return kAudioHardwareNoError;
}

// Only aggregate devices take I/O procedures here: the simulation has nothing
// to feed a plain device's own block with, so asking is unsupported rather
// than silently never called.
OSStatus SimulatedAudioHardware::createIOProcIDWithBlock(DeviceIOProcID* outIOProcID, AudioObjectID device,
                                                         DeviceIOQueue queue, DeviceIOBlock block)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::CreateIOProcID, device)) {
        if (*fault == kAudioHardwareNoError && outIOProcID)
            *outIOProcID = nullptr;
        return *fault;
    }
    if (!outIOProcID)
        return kAudioHardwareIllegalOperationError;
    const DeviceRecord* d = m->device(device);
    if (!d)
        return kAudioHardwareBadObjectError;
    if (!d->aggregate)
        return kAudioHardwareUnsupportedOperationError;
    // There are no dispatch queues here: a block asked to run on one would
    // run on the I/O thread instead, which its caller did not ask for.
    if (queue || !block)
        return kAudioHardwareIllegalOperationError;

    const std::uintptr_t key = m->nextIOProc++;
    IOProcRecord& proc = m->ioProcs[key];
    proc.device = device;
    proc.block = std::move(block);
    proc.output.allocate(d->spec.outputChannels);
    proc.heard = firstTwoChannels(d->spec.outputChannels);
    *outIOProcID = reinterpret_cast<DeviceIOProcID>(key);
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyIOProcID(AudioObjectID device, DeviceIOProcID ioProcID)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::DestroyIOProcID, device))
        return *fault;
    if (!m->device(device))
        return kAudioHardwareBadObjectError;
    // Holding the lock means no cycle is running, unless this is a block
    // calling from inside one, which must not destroy what is executing.
    const IOProcRecord* proc = m->ioProc(device, ioProcID);
    if (!proc || m->inCycle)
        return kAudioHardwareIllegalOperationError;
    // AudioHardware.h: AudioDeviceStart "Starts IO for the given
    // DeviceIOProcID" and "A balancing call to AudioDeviceStop ... is
    // required to stop the hardware"; AudioDeviceDestroyIOProcID only
    // "Destroys an DeviceIOProcID" and never says it stops one. An I/O
    // procedure still started is refused here, and recorded, since the
    // header does not say what the HAL answers.
    if (proc->started) {
        m->doubtful.append(QStringLiteral("destroyed a running I/O procedure of device %1").arg(device));
        return kAudioHardwareIllegalOperationError;
    }
    m->ioProcs.erase(reinterpret_cast<std::uintptr_t>(ioProcID));
    return kAudioHardwareNoError;
}

// Taking the lock waits out a cycle in progress, so once a stop returns the
// block is not running and will not run again.
OSStatus SimulatedAudioHardware::setIOProcStarted(Call call, AudioObjectID device, DeviceIOProcID ioProcID,
                                                  bool started)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(call, device))
        return *fault;
    if (!m->device(device))
        return kAudioHardwareBadObjectError;
    IOProcRecord* proc = m->ioProc(device, ioProcID);
    if (!proc)
        return kAudioHardwareIllegalOperationError;
    proc->started = started;
    if (started) {
        m->askRecordingPermission(device);   // simulated_permission.cpp
        m->startClock();
    }
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::deviceStart(AudioObjectID device, DeviceIOProcID ioProcID)
{
    return setIOProcStarted(Call::DeviceStart, device, ioProcID, true);
}

OSStatus SimulatedAudioHardware::deviceStop(AudioObjectID device, DeviceIOProcID ioProcID)
{
    return setIOProcStarted(Call::DeviceStop, device, ioProcID, false);
}

int SimulatedAudioHardware::liveTapCount() const
{
    const Lock lock(m->mutex);
    return int(m->taps.size());
}

int SimulatedAudioHardware::liveAggregateCount() const
{
    const Lock lock(m->mutex);
    return int(std::count_if(m->devices.begin(), m->devices.end(),
                             [](const auto& entry) { return entry.second.aggregate != nullptr; }));
}

int SimulatedAudioHardware::liveIOProcCount() const
{
    const Lock lock(m->mutex);
    return int(m->ioProcs.size());
}

int SimulatedAudioHardware::runningIOProcCount() const
{
    const Lock lock(m->mutex);
    return int(std::count_if(m->ioProcs.begin(), m->ioProcs.end(),
                             [](const auto& entry) { return entry.second.started; }));
}

std::optional<ProcessTapDescription> SimulatedAudioHardware::tapDescription(AudioObjectID tap) const
{
    const Lock lock(m->mutex);
    const TapRecord* t = m->tap(tap);
    return t ? std::optional(t->description) : std::nullopt;
}

std::optional<QVariantMap> SimulatedAudioHardware::aggregateDescription(AudioObjectID aggregate) const
{
    const Lock lock(m->mutex);
    const DeviceRecord* d = m->device(aggregate);
    return d && d->aggregate ? std::optional(d->aggregate->description) : std::nullopt;
}
