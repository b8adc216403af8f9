// libFuzzer target for the EXE.xml text operations. The input is "name NUL document" (or a
// document alone, registered under the program's own name). Checked for every input: adding
// changes nothing outside our own entry, adding twice equals adding once, adding and then
// removing gives back the document it started from, and removing touches only our own entry.
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

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsBlank(std::string_view text) {
    for (const char c : text) {
        if (!IsSpace(c)) {
            return false;
        }
    }
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix) {
    if (text.size() < lowerPrefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < lowerPrefix.size(); ++i) {
        const char c = text[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != lowerPrefix[i]) {
            return false;
        }
    }
    return true;
}

// An entry's range is its indentation (white space without line feeds), one whole
// <Launch.Addon> block, and optionally white space up to and including one line feed.
void CheckEntryShape(std::string_view document, const AddonEntry& entry) {
    Check(entry.rangeBegin <= entry.blockBegin && entry.blockBegin < entry.blockEnd &&
          entry.blockEnd <= entry.rangeEnd && entry.rangeEnd <= document.size());
    for (std::size_t i = entry.rangeBegin; i < entry.blockBegin; ++i) {
        Check(IsSpace(document[i]) && document[i] != '\n');
    }
    const std::string_view block =
        document.substr(entry.blockBegin, entry.blockEnd - entry.blockBegin);
    Check(StartsWithNoCase(block, "<launch.addon>"));
    constexpr std::string_view kClose = "</launch.addon>";
    Check(block.size() >= 14 + kClose.size() &&
          StartsWithNoCase(block.substr(block.size() - kClose.size()), kClose));
    for (std::size_t i = entry.blockEnd; i < entry.rangeEnd; ++i) {
        Check(IsSpace(document[i]) && (document[i] != '\n' || i + 1 == entry.rangeEnd));
    }
}

}  // namespace
}  // namespace tarnwick

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnwick;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view name = "TarnwickHID";
    std::string_view document = input;
    if (const std::size_t nul = input.find('\0'); nul != std::string_view::npos && nul <= 64) {
        name = input.substr(0, nul);
        document = input.substr(nul + 1);
    }
    const std::string_view path = "C:\\Program Files\\Tarnwick & Co\\TarnwickHID.exe";
    const std::string_view commandLine = "--config \"C:\\<cfg>\\config.json\"";
    const std::string block = BuildAddonBlock(name, path, commandLine);

    // Removing: either nothing changes, or exactly one well-shaped range disappears.
    const std::string removed = RemoveAddonFromDocument(document, name);
    if (const auto entry = FindAddonEntry(document, name)) {
        CheckEntryShape(document, *entry);
        Check(removed == std::string(document.substr(0, entry->rangeBegin)) +
                             std::string(document.substr(entry->rangeEnd)));
    } else {
        Check(removed == document);
    }

    // Adding: the result holds our block exactly, with everything else left in place.
    const std::string base(IsBlank(document) ? DefaultExeXmlDocument() : document);
    const std::string added = AddAddonToDocument(document, name, path, commandLine);
    const auto ours = FindAddonEntry(added, name);
    Check(ours.has_value());
    CheckEntryShape(added, *ours);
    Check(ours->rangeEnd - ours->rangeBegin == block.size());
    Check(added.compare(ours->rangeBegin, block.size(), block) == 0);
    const std::string before = added.substr(0, ours->rangeBegin);
    const std::string after = added.substr(ours->rangeEnd);
    Check(base.compare(0, before.size(), before) == 0);
    if (const auto old = FindAddonEntry(base, name)) {
        Check(old->rangeBegin == ours->rangeBegin);
        Check(base.substr(old->rangeEnd) == after);
    } else {
        Check(before + after == base);
        Check(RemoveAddonFromDocument(added, name) == base);
    }
    Check(AddAddonToDocument(added, name, path, commandLine) == added);
    return 0;
}
