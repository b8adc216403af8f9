#include "addon/ExeXmlText.h"

#include "config/TextNormalize.h"

namespace tarnwick {
namespace {

// Search needles are lower case; the document side is lowered byte by byte while comparing.
constexpr std::string_view kAddonOpen = "<launch.addon>";
constexpr std::string_view kAddonClose = "</launch.addon>";
constexpr std::string_view kNameOpen = "<name>";
constexpr std::string_view kNameClose = "</name>";
constexpr std::string_view kRootClose = "</simbase.document>";

constexpr std::string_view kDefaultDocument =
    "<?xml version=\"1.0\" encoding=\"Windows-1252\"?>\r\n"
    "<SimBase.Document Type=\"SimConnect\" version=\"1,0\">\r\n"
    "    <Descr>SimConnect</Descr>\r\n"
    "    <Filename>EXE.xml</Filename>\r\n"
    "    <Disabled>False</Disabled>\r\n"
    "    <Launch.ManualLoad>False</Launch.ManualLoad>\r\n"
    "</SimBase.Document>\r\n";

constexpr std::size_t kNone = std::string_view::npos;

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// White space that does not end a line.
bool IsLineSpace(char c) {
    return c != '\n' && IsSpace(c);
}

bool IsBlank(std::string_view text) {
    for (const char c : text) {
        if (!IsSpace(c)) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool MatchesAt(std::string_view text, std::size_t pos, std::string_view lowerNeedle) {
    if (pos > text.size() || text.size() - pos < lowerNeedle.size()) {
        return false;
    }
    for (std::size_t i = 0; i < lowerNeedle.size(); ++i) {
        if (LowerAscii(text[pos + i]) != lowerNeedle[i]) {
            return false;
        }
    }
    return true;
}

std::size_t FindNoCase(std::string_view text, std::string_view lowerNeedle, std::size_t from) {
    for (std::size_t pos = from; pos < text.size(); ++pos) {
        if (MatchesAt(text, pos, lowerNeedle)) {
            return pos;
        }
    }
    return kNone;
}

// The last match that starts in [first, last].
std::size_t FindLastNoCase(std::string_view text, std::string_view lowerNeedle, std::size_t first,
                           std::size_t last) {
    for (std::size_t pos = last + 1; pos > first; --pos) {
        if (MatchesAt(text, pos - 1, lowerNeedle)) {
            return pos - 1;
        }
    }
    return kNone;
}

// The start of the run of line-internal white space that ends at pos. For an element on a line
// of its own this is the start of the line; for one that shares its line with other text it is
// just behind that text, so neighbours on the same line are never touched.
std::size_t IndentStart(std::string_view text, std::size_t pos) {
    while (pos > 0 && IsLineSpace(text[pos - 1])) {
        --pos;
    }
    return pos;
}

// Just behind the line feed that ends the line at pos when only white space lies before it (or
// the document end when only white space is left); pos itself when other text follows on the
// line, which then belongs to somebody else.
std::size_t LineTailEnd(std::string_view text, std::size_t pos) {
    std::size_t end = pos;
    while (end < text.size() && IsLineSpace(text[end])) {
        ++end;
    }
    if (end == text.size()) {
        return end;
    }
    return text[end] == '\n' ? end + 1 : pos;
}

// The trimmed text between the block's first <Name> and the </Name> after it; empty when the
// block lacks either tag.
std::string_view EntryName(std::string_view block) {
    const std::size_t open = FindNoCase(block, kNameOpen, 0);
    if (open == kNone) {
        return {};
    }
    const std::size_t textBegin = open + kNameOpen.size();
    const std::size_t close = FindNoCase(block, kNameClose, textBegin);
    if (close == kNone) {
        return {};
    }
    return Trim(block.substr(textBegin, close - textBegin));
}

void AppendLine(std::string& out, std::string_view a, std::string_view b = {},
                std::string_view c = {}) {
    out += a;
    out += b;
    out += c;
    out += "\r\n";
}

}  // namespace

std::string EscapeExeXmlText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string BuildAddonBlock(std::string_view name, std::string_view path,
                            std::string_view commandLine) {
    std::string block;
    AppendLine(block, "    <Launch.Addon>");
    AppendLine(block, "        <Name>", EscapeExeXmlText(name), "</Name>");
    AppendLine(block, "        <Disabled>False</Disabled>");
    AppendLine(block, "        <Path>", EscapeExeXmlText(path), "</Path>");
    if (!commandLine.empty()) {
        AppendLine(block, "        <CommandLine>", EscapeExeXmlText(commandLine), "</CommandLine>");
    }
    AppendLine(block, "    </Launch.Addon>");
    return block;
}

std::string_view DefaultExeXmlDocument() {
    return kDefaultDocument;
}

std::optional<AddonEntry> FindAddonEntry(std::string_view document, std::string_view name) {
    // Trimmed like the stored names, so a name with surrounding blanks still finds its own entry.
    const std::string wanted = AsciiLower(Trim(EscapeExeXmlText(name)));
    std::size_t search = 0;
    for (;;) {
        const std::size_t open = FindNoCase(document, kAddonOpen, search);
        if (open == kNone) {
            return std::nullopt;
        }
        const std::size_t close = FindNoCase(document, kAddonClose, open + kAddonOpen.size());
        if (close == kNone) {
            return std::nullopt;
        }
        // An opening tag that lacks its own closing tag (a damaged entry) must not become part of
        // the next entry, or removing that entry would take the damaged one's text with it: the
        // block starts at the last opening tag before the closing one.
        const std::size_t begin =
            FindLastNoCase(document, kAddonOpen, open, close - kAddonOpen.size());
        const std::size_t end = close + kAddonClose.size();
        const std::string_view found = EntryName(document.substr(begin, end - begin));
        if (found.size() == wanted.size() && MatchesAt(found, 0, wanted)) {
            return AddonEntry{IndentStart(document, begin), LineTailEnd(document, end), begin, end};
        }
        search = end;
    }
}

std::string AddAddonToDocument(std::string_view document, std::string_view name,
                               std::string_view path, std::string_view commandLine) {
    std::string result(IsBlank(document) ? kDefaultDocument : document);
    const std::string block = BuildAddonBlock(name, path, commandLine);
    if (const auto entry = FindAddonEntry(result, name)) {
        result.replace(entry->rangeBegin, entry->rangeEnd - entry->rangeBegin, block);
        return result;
    }
    // The block brings its own indentation and line end. Going in where the closing tag's
    // indentation starts puts it on a line of its own in an ordinary document, keeps it clear of
    // an element that shares the closing tag's line, and lets removal restore every byte.
    const std::size_t root = FindNoCase(result, kRootClose, 0);
    result.insert(IndentStart(result, root == kNone ? result.size() : root), block);
    return result;
}

std::string RemoveAddonFromDocument(std::string_view document, std::string_view name) {
    std::string result(document);
    if (const auto entry = FindAddonEntry(result, name)) {
        result.erase(entry->rangeBegin, entry->rangeEnd - entry->rangeBegin);
    }
    return result;
}

}  // namespace tarnwick
