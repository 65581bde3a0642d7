#pragma once

// What tests set and read behind the stand-in frameworks: which simulation
// the Core Audio, process and file-manager calls reach, and what the small
// CoreFoundation holds.

#include <string>

class SimulatedAudioHardware;
class SimulatedProcessInspector;

namespace standin {

// Null detaches: Core Audio calls then fail with kAudioHardwareNotRunningError.
void setHardware(SimulatedAudioHardware* hardware);
void setProcessTable(SimulatedProcessInspector* processes);

// CoreFoundation objects created and not yet released.
long liveCFObjects();
// Objective-C objects of the stand-in classes alive now.
long liveStandinObjects();

// How often a key of a preferences domain was written (or removed).
int preferenceWrites(const std::string& applicationID, const std::string& key);
// Empties a domain, releasing what it held.
void resetPreferences(const std::string& applicationID);

} // namespace standin
