#include "win32control.h"

namespace win32 {

std::wstring fromUtf8(const std::string &text)
{
    if (text.empty())
        return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), size);
    return wide;
}

std::string toUtf8(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

std::wstring errorText(DWORD error)
{
    wchar_t *buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring text = length > 0 ? std::wstring(buffer, length) : std::wstring();
    ::LocalFree(buffer);
    while (!text.empty() &&
           (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    if (text.empty())
        text = L"system error " + std::to_wstring(error);
    return text;
}

} // namespace win32

namespace win32 {

namespace {

bool isHighSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool isLowSurrogate(wchar_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// The length of the character at i: two for a surrogate pair.
size_t characterLength(const std::wstring &text, size_t i)
{
    return isHighSurrogate(text[i]) && i + 1 < text.size() && isLowSurrogate(text[i + 1]) ? 2 : 1;
}

// Converts the text, true when no character needed a stand-in (best-fit
// letters such as "a" for "ä" count as stand-ins too). The bytes hold the
// stand-ins all the same.
bool convert(const wchar_t *text, int length, UINT codePage, std::string *out)
{
    // UTF-8 takes neither flag nor a default character, and refuses only
    // halves of surrogate pairs, which it then writes as U+FFFD.
    const bool utf8 = codePage == CP_UTF8;
    DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL *usedDefaultOut = utf8 ? nullptr : &usedDefault;
    int size = ::WideCharToMultiByte(codePage, flags, text, length, nullptr, 0, nullptr, usedDefaultOut);
    bool whole = size > 0;
    if (!whole && utf8) {
        flags = 0;
        size = ::WideCharToMultiByte(codePage, flags, text, length, nullptr, 0, nullptr, nullptr);
    }
    out->resize(size_t(size > 0 ? size : 0));
    if (size > 0)
        ::WideCharToMultiByte(codePage, flags, text, length, out->data(), size, nullptr, usedDefaultOut);
    return whole && !usedDefault;
}

} // namespace

CodePageText toCodePage(const std::wstring &text, UINT codePage)
{
    CodePageText converted;
    if (text.empty() || convert(text.data(), int(text.size()), codePage, &converted.bytes))
        return converted;
    // Only on the way to a refusal: find the character, one at a time.
    std::string one;
    for (size_t i = 0; i < text.size(); i += characterLength(text, i)) {
        if (!convert(text.data() + i, int(characterLength(text, i)), codePage, &one)) {
            converted.unwritableAt = i;
            break;
        }
    }
    return converted;
}

std::wstring settingsFileText(const std::string &bytes, UINT codePage)
{
    const auto decode = [](const char *data, size_t size, UINT from, DWORD flags, std::wstring *text) {
        if (size == 0)
            return true;
        const int length = ::MultiByteToWideChar(from, flags, data, int(size), nullptr, 0);
        if (length <= 0)
            return false;
        text->resize(size_t(length));
        return ::MultiByteToWideChar(from, flags, data, int(size), text->data(), length) == length;
    };
    std::wstring text;
    const std::string bom = "\xEF\xBB\xBF";
    if (bytes.compare(0, bom.size(), bom) == 0) {
        // Marked as UTF-8: what is not valid UTF-8 becomes U+FFFD.
        decode(bytes.data() + bom.size(), bytes.size() - bom.size(), CP_UTF8, 0, &text);
        return text;
    }
    if (decode(bytes.data(), bytes.size(), CP_UTF8, MB_ERR_INVALID_CHARS, &text))
        return text;
    text.clear();
    decode(bytes.data(), bytes.size(), codePage, 0, &text);
    return text;
}

} // namespace win32
