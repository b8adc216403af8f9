// libFuzzer target for the EXE.xml text operations. The input is "name NUL document" (or a
// document alone, registered under the program's own name). Checked for every input: removing
// takes out exactly our own entry, adding changes nothing outside it, adding twice equals adding
// once, and adding then removing gives back the document it started from.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "addon/ExeXmlText.h"

namespace tarnwick {
namespace {

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

// An entry's range is its indentation (white space without line feeds), the block from "<" to
// ">", and optionally white space up to and including one line feed.
void CheckEntryShape(std::string_view document, const AddonEntry& e) {
    Check(e.rangeBegin <= e.blockBegin && e.blockBegin + 29 <= e.blockEnd &&
          e.blockEnd <= e.rangeEnd && e.rangeEnd <= document.size());
    Check(document[e.blockBegin] == '<' && document[e.blockEnd - 1] == '>');
    for (std::size_t i = e.rangeBegin; i < e.rangeEnd; ++i) {
        const bool lineFeedAllowed = i >= e.blockEnd && i + 1 == e.rangeEnd;
        Check((i >= e.blockBegin && i < e.blockEnd) ||
              (std::string_view(" \t\v\f\r").find(document[i]) != std::string_view::npos ||
               (document[i] == '\n' && lineFeedAllowed)));
    }
}

}  // namespace
}  // namespace tarnwick

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
        CheckEntryShape(document, *entry);
        base.erase(entry->rangeBegin, entry->rangeEnd - entry->rangeBegin);
    }
    Check(RemoveAddonFromDocument(document, name) == base);

    const bool blank = document.find_first_not_of(" \t\n\v\f\r") == std::string_view::npos;
    base = blank ? DefaultExeXmlDocument() : std::string(document);
    const std::string added = AddAddonToDocument(document, name, path, commandLine);
    const auto ours = FindAddonEntry(added, name);
    Check(ours.has_value());
    CheckEntryShape(added, *ours);
    Check(added.substr(ours->rangeBegin, ours->rangeEnd - ours->rangeBegin) ==
          BuildAddonBlock(name, path, commandLine));
    const std::string before = added.substr(0, ours->rangeBegin);
    const std::string after = added.substr(ours->rangeEnd);
    Check(base.compare(0, before.size(), before) == 0);
    if (const auto old = FindAddonEntry(base, name)) {
        Check(old->rangeBegin == ours->rangeBegin && base.substr(old->rangeEnd) == after);
    } else {
        Check(before + after == base && RemoveAddonFromDocument(added, name) == base);
    }
    Check(AddAddonToDocument(added, name, path, commandLine) == added);
    return 0;
}
