// The leave to record system audio, as macOS grants it: asked for by the
// system, never by a call, the first time an aggregate device with a tap
// starts; no call reports it. Apple's engineers say so for the sample
// "Capturing system audio with Core Audio taps" (developer forums, thread
// 771864): "The system prompts the user to grant your app system audio
// recording permission the first time it starts recording from an aggregate
// device that contains a Core Audio tap", and without it a tap delivers
// silence. The prompt's sentence is the bundle's
// NSAudioCaptureUsageDescription.

#include "simulated_model.h"

using namespace simulated;

void SimulatedAudioHardware::Model::askRecordingPermission(AudioObjectID device)
{
    const AggregateRecord* a = aggregate(device);
    if (recording != RecordingPermission::NotAsked || !a || a->taps.empty())
        return;
    ++prompts;
    switch (promptAnswer) {
    case PromptAnswer::Allow:
        recording = RecordingPermission::Granted;
        break;
    case PromptAnswer::DontAllow:
        recording = RecordingPermission::Denied;
        break;
    case PromptAnswer::Later:
        recording = RecordingPermission::Asking;
        break;
    }
}

void SimulatedAudioHardware::setRecordingPermission(RecordingPermission permission)
{
    const Lock lock(m->mutex);
    m->recording = permission;
}

SimulatedAudioHardware::RecordingPermission SimulatedAudioHardware::recordingPermission() const
{
    const Lock lock(m->mutex);
    return m->recording;
}

void SimulatedAudioHardware::setRecordingPromptAnswer(PromptAnswer answer)
{
    const Lock lock(m->mutex);
    m->promptAnswer = answer;
}

void SimulatedAudioHardware::answerRecordingPrompt(bool allow)
{
    const Lock lock(m->mutex);
    if (m->recording == RecordingPermission::Asking)
        m->recording = allow ? RecordingPermission::Granted : RecordingPermission::Denied;
}

int SimulatedAudioHardware::recordingPromptsShown() const
{
    const Lock lock(m->mutex);
    return m->prompts;
}
