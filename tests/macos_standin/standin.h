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

// The main application as a login item: its status (SMAppServiceStatus's
// values), what the next register or unregister does, and how often the
// Login Items settings were opened.
struct LoginItem {
    long status = 0;
    // Non-empty: the next call fails with this description, status unchanged.
    std::string failure;
    // The next register asks the user instead: status 2, and the call fails.
    bool askUser = false;
    int registers = 0;
    int settingsOpened = 0;
};
LoginItem& loginItem();

} // namespace standin
