// Text surgery on the simulator's EXE.xml documents. The file is never parsed as XML: whole
// <Launch.Addon> blocks are found by case-insensitive search and spliced in or out, so that every
// byte that does not belong to our own entry stays exactly as the user or other tools left it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// Replaces "&", "<" and ">" with their entities; every other byte is kept.
std::string EscapeExeXmlText(std::string_view text);

// The entry the simulator reads to launch a program, four-space indented, every line ended by
// CR LF. The <CommandLine> line is left out when commandLine is empty.
std::string BuildAddonBlock(std::string_view name, std::string_view path,
                            std::string_view commandLine);

// What a blank EXE.xml is replaced with before the entry goes in.
std::string_view DefaultExeXmlDocument();

// Where an entry lies in a document, as byte offsets. The block runs from its "<Launch.Addon>"
// to just behind its "</Launch.Addon>". The range is what registering replaces and
// unregistering erases: the block together with the white space that indents it and, when
// nothing but white space follows it on its line, the rest of that line with its line feed.
struct AddonEntry {
    std::size_t rangeBegin = 0;
    std::size_t rangeEnd = 0;
    std::size_t blockBegin = 0;
    std::size_t blockEnd = 0;
};

// The first block whose <Name> (inside the block, trimmed of white space) equals the escaped
// name, compared without regard to ASCII case.
std::optional<AddonEntry> FindAddonEntry(std::string_view document, std::string_view name);

// The document with the entry for `name` replaced by a fresh block, or, when there is none,
// with the block inserted before "</SimBase.Document>" (appended when that tag is missing).
// A blank document is first replaced by DefaultExeXmlDocument().
std::string AddAddonToDocument(std::string_view document, std::string_view name,
                               std::string_view path, std::string_view commandLine);

// The document without the entry for `name`; unchanged when there is none.
std::string RemoveAddonFromDocument(std::string_view document, std::string_view name);

}  // namespace tarnwick
