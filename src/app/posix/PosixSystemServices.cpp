#include <filesystem>
#include <system_error>

#include "app/SystemServices.h"

namespace tarnwick {
namespace {

// Enough process services for the native build to run the virtual cockpit and the one-shot
// commands: there is no console to attach to and no machine-wide data folder.
class PosixSystemServices final : public SystemServices {
public:
    void AttachParentConsole() override {}

    std::string ExecutablePath() override {
        std::error_code ec;
        const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
        return ec ? std::string() : path.string();
    }

    std::string CommonAppDataDirectory() override { return {}; }
};

}  // namespace

std::unique_ptr<SystemServices> CreatePlatformSystemServices() {
    return std::make_unique<PosixSystemServices>();
}

}  // namespace tarnwick
