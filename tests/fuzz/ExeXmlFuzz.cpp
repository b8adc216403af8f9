// libFuzzer target for the EXE.xml text operations. The input is "name NUL document" (or a
// document alone, registered under the program's own name). Checked for every input: removing
// takes out exactly our own entry, adding changes nothing outside it, adding twice equals adding
// once, and adding then removing gives back the document it started from.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "addon/ExeXmlText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const bool named = nul != std::string_view::npos && nul <= 64;
    const std::string_view name = named ? input.substr(0, nul) : "TarnwickHID";
    const std::string_view document = named ? input.substr(nul + 1) : input;
    const std::string_view path = "C:\\Program Files\\Tarnwick & Co\\TarnwickHID.exe";
    const std::string_view commandLine = "--config \"C:\\<cfg>\\config.json\"";

    std::string base(document);
    if (const auto entry = FindAddonEntry(document, name)) {
        base.erase(entry->rangeBegin, entry->rangeEnd - entry->rangeBegin);
    }
    FUZZ_CHECK(RemoveAddonFromDocument(document, name) == base);

    const bool blank = document.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos;
    base = blank ? DefaultExeXmlDocument() : std::string(document);
    const std::string added = AddAddonToDocument(document, name, path, commandLine);
    const auto ours = FindAddonEntry(added, name);
    FUZZ_CHECK(ours.has_value());
    FUZZ_CHECK(added.substr(ours->rangeBegin, ours->rangeEnd - ours->rangeBegin) ==
               BuildAddonBlock(name, path, commandLine));
    const std::string before = added.substr(0, ours->rangeBegin);
    const std::string after = added.substr(ours->rangeEnd);
    FUZZ_CHECK(base.compare(0, before.size(), before) == 0);
    if (const auto old = FindAddonEntry(base, name)) {
        FUZZ_CHECK(old->rangeBegin == ours->rangeBegin && base.substr(old->rangeEnd) == after);
    } else {
        FUZZ_CHECK(before + after == base && RemoveAddonFromDocument(added, name) == base);
    }
    FUZZ_CHECK(AddAddonToDocument(added, name, path, commandLine) == added);
    return 0;
}
