#include "win32control.h"

#include <restartmanager.h>

#include <algorithm>

namespace win32 {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The programs that hold the file open, as the Restart Manager names them
// (it names none where it is not there, as under Wine).
std::vector<FileHolder> holdersOf(const std::wstring &path)
{
    std::vector<FileHolder> holders;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (::RmStartSession(&session, 0, key) != ERROR_SUCCESS)
        return holders;
    LPCWSTR files[] = {path.c_str()};
    std::vector<RM_PROCESS_INFO> found(8);
    UINT count = UINT(found.size());
    UINT needed = 0;
    DWORD reasons = 0;
    DWORD result = ::RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr);
    if (result == ERROR_SUCCESS) {
        result = ::RmGetList(session, &needed, &count, found.data(), &reasons);
        if (result == ERROR_MORE_DATA) {
            found.resize(needed);
            count = needed;
            result = ::RmGetList(session, &needed, &count, found.data(), &reasons);
        }
    }
    ::RmEndSession(session);
    for (UINT i = 0; result == ERROR_SUCCESS && i < count; ++i) {
        if (found[i].Process.dwProcessId != ::GetCurrentProcessId())
            holders.push_back({found[i].strAppName, found[i].Process.dwProcessId});
    }
    return holders;
}

} // namespace

InPlaceWrite writeInPlace(const std::wstring &path, const std::string &bytes)
{
    InPlaceWrite write;
    // Shared as a reader shares it; written from the start, and cut after the
    // new end, so that a reader never finds it empty.
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        write.error = ::GetLastError();
        if (write.error == ERROR_SHARING_VIOLATION) {
            write.outcome = InPlaceWrite::Outcome::HeldAgainstWriting;
            write.holders = holdersOf(path);
        }
        return write;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = DWORD(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (!::WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written == 0)
            break;
        done += written;
    }
    if (done < bytes.size() || !::SetEndOfFile(file.get()) || !::FlushFileBuffers(file.get())) {
        write.outcome = InPlaceWrite::Outcome::WrittenPartly;
        write.error = ::GetLastError();
        return write;
    }
    write.outcome = InPlaceWrite::Outcome::Written;
    return write;
}

} // namespace win32
