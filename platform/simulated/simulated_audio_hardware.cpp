// The simulated hardware's lifetime: the model its other parts answer from,
// and the clock thread that must stop before the model goes.

#include "simulated_audio_hardware.h"

#include "simulated_model.h"

SimulatedAudioHardware::SimulatedAudioHardware()
    : m(std::make_unique<Model>())
{
}

SimulatedAudioHardware::~SimulatedAudioHardware()
{
    m->stopClock();
}
