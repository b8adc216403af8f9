// The real backend loading SimConnect.dll under Windows (Wine in the test run). The library beside
// this executable is the virtual simulator built as a DLL; the end-to-end course runs the whole
// bridge through it, so here only the loader's answers are checked.
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "sim/SimConnectApi.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

// A copy beside the executable that does not load is named with its path and error; a copy only
// in the current folder is never loaded; a missing export is named; a second try answers alike.
TEST(Win32SimConnectApiTest, LoadNamesWhatIsMissing) {
    namespace fs = std::filesystem;
    const fs::path exeFolder = fs::path(test::CurrentExecutablePath()).parent_path();
    const fs::path broken = exeFolder / "BrokenSimConnect.dll";
    std::ofstream(broken, std::ios::binary) << "not a library\r\n";
    test::TempDir current;
    fs::copy_file(exeFolder / "SimConnect.dll", current.Path() / "CurrentOnlySimConnect.dll");
    const fs::path previous = fs::current_path();
    fs::current_path(current.Path());
    const std::pair<const char*, std::string> cases[] = {
        {"BrokenSimConnect.dll",
         "BrokenSimConnect.dll at " + broken.string() + " could not be loaded (error 193)"},
        {"CurrentOnlySimConnect.dll", "CurrentOnlySimConnect.dll not found"},
        {"SimConnectPartial.dll", "SimConnect_SetClientData missing from SimConnectPartial.dll"},
        {"SimConnect.dll", ""},
    };
    for (const auto& [dll, error] : cases) {
        const auto api = CreateWin32SimConnectApi(dll);
        for (int attempt = 0; attempt < 2; ++attempt) {
            EXPECT_EQ(api->Load().Error(), error) << dll << " attempt " << attempt;
        }
    }
    fs::current_path(previous);
    fs::remove(broken);
}

}  // namespace
}  // namespace tarnwick
