#include "config/PathText.h"

#include <locale.h>

#include "platform/win32/WinApi.h"

namespace tarnwick {
namespace {

// The code page in which the program's narrow text is meant: UTF-8 when the C library runs
// with a UTF-8 locale, otherwise the one the narrow (A) file functions use, so that a path typed
// on the command line or read from config.json names the same file as CreateFileA would.
UINT NarrowCodePage() {
    if (___lc_codepage_func() == CP_UTF8) {
        return CP_UTF8;
    }
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

}  // namespace

std::filesystem::path ToFsPath(std::string_view narrow) {
    if (narrow.empty()) {
        return {};
    }
    const UINT codePage = NarrowCodePage();
    const int length = static_cast<int>(narrow.size());
    const int wideLength = MultiByteToWideChar(codePage, 0, narrow.data(), length, nullptr, 0);
    if (wideLength <= 0) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(codePage, 0, narrow.data(), length, wide.data(), wideLength);
    return std::filesystem::path(wide);
}

std::string FromFsPath(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty()) {
        return {};
    }
    const UINT codePage = NarrowCodePage();
    const int length = static_cast<int>(wide.size());
    const int narrowLength =
        WideCharToMultiByte(codePage, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (narrowLength <= 0) {
        return {};
    }
    std::string narrow(static_cast<size_t>(narrowLength), '\0');
    WideCharToMultiByte(codePage, 0, wide.data(), length, narrow.data(), narrowLength, nullptr,
                        nullptr);
    return narrow;
}

}  // namespace tarnwick
