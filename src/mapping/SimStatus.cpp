#include "mapping/SimStatus.h"

namespace tarnwick {

void SimStatus::SetBattery(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    batteryOn_ = on;
    batteryKnown_ = true;
}

void SimStatus::SetLighting(double level) {
    std::lock_guard<std::mutex> lock(mutex_);
    lightingLevel_ = level;
    lightingKnown_ = true;
}

SimStatus::Battery SimStatus::ReadBattery() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Battery{batteryKnown_, batteryKnown_ && batteryOn_};
}

SimStatus::Lighting SimStatus::ReadLighting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Lighting{lightingKnown_, lightingLevel_};
}

}  // namespace tarnwick
