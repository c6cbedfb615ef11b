#include "win32control.h"

#include <tlhelp32.h>

#include <algorithm>
#include <memory>

namespace win32 {

namespace {

// A folder's identity: its volume and file index, the Windows counterpart of
// a device and inode number.
struct FolderIdentity
{
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FolderIdentity &other) const
    {
        return volume == other.volume && indexHigh == other.indexHigh && indexLow == other.indexLow;
    }
};

std::optional<FolderIdentity> folderIdentity(const std::wstring &path)
{
    // Opening a folder needs backup semantics; no access is asked for.
    const UniqueHandle folder(::CreateFileW(path.c_str(), 0,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!folder || !::GetFileInformationByHandle(folder.get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    return FolderIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

bool equalIgnoringCase(const std::wstring &a, const std::wstring &b)
{
    return ::CompareStringOrdinal(a.c_str(), int(a.size()), b.c_str(), int(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring imagePath(HANDLE process)
{
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD length = DWORD(path.size());
        if (::QueryFullProcessImageNameW(process, 0, path.data(), &length)) {
            path.resize(length);
            return path;
        }
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
        path.resize(path.size() * 4);
    }
    return {};
}

std::wstring parentFolder(const std::wstring &path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The SID of a process's user, as bytes, to compare with our own.
std::vector<unsigned char> userOf(HANDLE process)
{
    HANDLE rawToken = nullptr;
    if (!::OpenProcessToken(process, TOKEN_QUERY, &rawToken))
        return {};
    const UniqueHandle token(rawToken);
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size))
        return {};
    const PSID sid = reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid;
    const auto *bytes = static_cast<const unsigned char *>(sid);
    return std::vector<unsigned char>(bytes, bytes + ::GetLengthSid(sid));
}

bool sameProcess(HANDLE a, HANDLE b)
{
    return ::GetProcessId(a) == ::GetProcessId(b);
}

bool isRunning(HANDLE process)
{
    return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

BOOL CALLBACK closeWindowsOf(HWND window, LPARAM processId)
{
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == DWORD(processId))
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

BOOL WINAPI ignoreControlEvents(DWORD)
{
    return TRUE;
}

// CTRL_BREAK_EVENT reaches a process group only from within its console: join
// that console for the moment it takes. A program that has a console of its
// own (a console build of the front-end) cannot join another one and leaves
// it to WM_CLOSE and the grace period.
void sendBreak(DWORD processGroup)
{
    if (::GetConsoleWindow() != nullptr || !::AttachConsole(processGroup))
        return;
    ::SetConsoleCtrlHandler(ignoreControlEvents, TRUE);
    ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, processGroup);
    ::FreeConsole();
    ::SetConsoleCtrlHandler(ignoreControlEvents, FALSE);
}

struct Reaper
{
    std::vector<UniqueHandle> targets;
    UniqueHandle finished;
    std::chrono::milliseconds gracePeriod;
    UINT terminationCode;
};

DWORD WINAPI reapAfterGracePeriod(void *parameter)
{
    const std::unique_ptr<Reaper> reaper(static_cast<Reaper *>(parameter));
    const ULONGLONG deadline = ::GetTickCount64() + ULONGLONG(reaper->gracePeriod.count());
    for (const UniqueHandle &target : reaper->targets) {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? DWORD(deadline - now) : 0;
        if (::WaitForSingleObject(target.get(), left) == WAIT_TIMEOUT)
            ::TerminateProcess(target.get(), reaper->terminationCode);
    }
    // Termination is asynchronous: say "finished" only once each is gone.
    for (const UniqueHandle &target : reaper->targets)
        ::WaitForSingleObject(target.get(), INFINITE);
    ::SetEvent(reaper->finished.get());
    return 0;
}

} // namespace

bool sameFolder(const std::wstring &a, const std::wstring &b)
{
    const std::optional<FolderIdentity> first = folderIdentity(a);
    return first && first == folderIdentity(b);
}

std::vector<ServerProcess> serversInFolder(const std::wstring &folder)
{
    std::vector<ServerProcess> found;
    const std::optional<FolderIdentity> here = folderIdentity(folder);
    if (!here)
        return found;
    DWORD mySession = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &mySession);
    const std::vector<unsigned char> me = userOf(::GetCurrentProcess());

    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!snapshot || !::Process32FirstW(snapshot.get(), &entry))
        return found;
    do {
        DWORD session = 0;
        if (!equalIgnoringCase(entry.szExeFile, serverProgramName) ||
            entry.th32ProcessID == ::GetCurrentProcessId() ||
            !::ProcessIdToSessionId(entry.th32ProcessID, &session) || session != mySession)
            continue;
        // Held from here on: what is checked is what is ended.
        UniqueHandle process(::OpenProcess(
            PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        if (!process || !isRunning(process.get()) || userOf(process.get()) != me)
            continue;
        std::wstring image = imagePath(process.get());
        if (image.empty() || !(folderIdentity(parentFolder(image)) == here))
            continue;
        found.push_back({entry.th32ProcessID, std::move(process), std::move(image)});
    } while (::Process32NextW(snapshot.get(), &entry));
    std::sort(found.begin(), found.end(),
              [](const ServerProcess &a, const ServerProcess &b) { return a.processId < b.processId; });
    return found;
}

Stopping stopServers(const StopRequest &request)
{
    Stopping stopping;
    stopping.finished.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopping.finished) {
        stopping.status = Status::failure(L"Cannot stop the server: " + errorText(::GetLastError()));
        return stopping;
    }

    auto reaper = std::make_unique<Reaper>();
    reaper->gracePeriod = request.gracePeriod;
    reaper->terminationCode = request.terminationCode;
    for (const HANDLE known : request.known) {
        HANDLE copy = nullptr;
        if (known && isRunning(known) &&
            ::DuplicateHandle(::GetCurrentProcess(), known, ::GetCurrentProcess(), &copy, 0, FALSE,
                              DUPLICATE_SAME_ACCESS))
            reaper->targets.emplace_back(copy);
    }
    for (ServerProcess &server : serversInFolder(request.folder)) {
        const bool already =
            std::any_of(reaper->targets.begin(), reaper->targets.end(),
                        [&](const UniqueHandle &t) { return sameProcess(t.get(), server.process.get()); });
        if (!already)
            reaper->targets.push_back(std::move(server.process));
    }

    for (const UniqueHandle &target : reaper->targets) {
        const DWORD processId = ::GetProcessId(target.get());
        stopping.processIds.push_back(processId);
        ::EnumWindows(closeWindowsOf, LPARAM(processId));
        const bool ownGroup = std::any_of(request.ownGroups.begin(), request.ownGroups.end(),
                                          [&](HANDLE group) { return sameProcess(group, target.get()); });
        if (ownGroup)
            sendBreak(processId);
    }
    if (reaper->targets.empty()) {
        ::SetEvent(stopping.finished.get());
        return stopping;
    }

    HANDLE finishedCopy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), stopping.finished.get(), ::GetCurrentProcess(),
                           &finishedCopy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        stopping.status = Status::failure(L"Asked the server to stop, but cannot make sure it ends: " +
                                          errorText(::GetLastError()));
        return stopping;
    }
    reaper->finished.reset(finishedCopy);
    // The grace period is waited out on a thread of its own, so that the
    // window never waits for it.
    Reaper *job = reaper.release();
    const HANDLE thread = ::CreateThread(nullptr, 0, reapAfterGracePeriod, job, 0, nullptr);
    if (!thread) {
        const DWORD error = ::GetLastError();
        delete job;
        stopping.status =
            Status::failure(L"Asked the server to stop, but cannot make sure it ends: " + errorText(error));
        return stopping;
    }
    ::CloseHandle(thread);
    return stopping;
}

} // namespace win32
