// What the simulator last told us about the aircraft's electrical and lighting state. The
// SimConnect thread writes the battery, the MobiFlight text handler writes the lighting level, and
// the mapping engine's output worker reads both to decide what the boards' backlights show.
#pragma once

#include <mutex>

namespace tarnwick {

class SimStatus {
public:
    struct Battery {
        bool known = false;
        bool on = false;  // false while not known
    };
    struct Lighting {
        bool known = false;
        double level = 0.0;
    };

    // Any thread. Each call takes the record's own mutex for the one read or write only, so no
    // other lock is ever taken while it is held.
    void SetBattery(bool on);
    void SetLighting(double level);
    Battery ReadBattery() const;
    Lighting ReadLighting() const;

private:
    mutable std::mutex mutex_;
    bool batteryKnown_ = false;
    bool batteryOn_ = false;
    bool lightingKnown_ = false;
    double lightingLevel_ = 0.0;
};

}  // namespace tarnwick
