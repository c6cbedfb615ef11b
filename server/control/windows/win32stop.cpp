#include "win32control.h"

#include <tlhelp32.h>

#include <algorithm>
#include <memory>

namespace win32 {

namespace {

// A file's or folder's identity: its volume and file index, the Windows
// counterpart of a device and inode number.
struct FileIdentity
{
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity &other) const
    {
        return volume == other.volume && indexHigh == other.indexHigh && indexLow == other.indexLow;
    }
};

std::optional<FileIdentity> fileIdentity(const std::wstring &path, bool folder)
{
    // Opening a folder needs backup semantics; no access is asked for.
    const UniqueHandle file(::CreateFileW(path.c_str(), 0,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info) ||
        bool(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != folder)
        return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

std::optional<FileIdentity> folderIdentity(const std::wstring &path)
{
    return fileIdentity(path, true);
}

// Reads size bytes of another process's memory.
bool readMemory(HANDLE process, ULONG64 address, void *into, SIZE_T size)
{
    SIZE_T got = 0;
    return address != 0 &&
           ::ReadProcessMemory(process, reinterpret_cast<const void *>(address), into, size, &got) &&
           got == size;
}

// The current folder of another process, from its process parameters (where
// Windows keeps it), of a 64-bit process or of a 32-bit one under WOW64.
std::optional<std::wstring> workingFolderOf(HANDLE process)
{
    using Query = LONG(NTAPI *)(HANDLE, int, void *, ULONG, ULONG *);
    static const auto query = reinterpret_cast<Query>(reinterpret_cast<void *>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    if (!query)
        return std::nullopt;
    // Where the parameters and, in them, the current folder's name lie: in
    // the 64-bit layout, and in the 32-bit one of a WOW64 process.
    ULONG64 peb32 = 0;
    const bool wow64 =
        query(process, 26 /* ProcessWow64Information */, &peb32, sizeof peb32, nullptr) == 0 && peb32 != 0;
    ULONG64 peb = peb32;
    if (!wow64) {
        struct
        {
            LONG exitStatus;
            ULONG64 pebBaseAddress;
            ULONG64 rest[4];
        } basic{};
        if (query(process, 0 /* ProcessBasicInformation */, &basic, sizeof basic, nullptr) != 0)
            return std::nullopt;
        peb = basic.pebBaseAddress;
    }
    ULONG64 parameters = 0;
    USHORT length = 0;
    ULONG64 buffer = 0;
    if (wow64) {
        ULONG parameters32 = 0;
        struct
        {
            USHORT length;
            USHORT maximumLength;
            ULONG buffer;
        } name{};
        if (!readMemory(process, peb + 0x10, &parameters32, sizeof parameters32) ||
            !readMemory(process, parameters32 + 0x24, &name, sizeof name))
            return std::nullopt;
        length = name.length;
        buffer = name.buffer;
    } else {
        struct
        {
            USHORT length;
            USHORT maximumLength;
            ULONG padding;
            ULONG64 buffer;
        } name{};
        if (!readMemory(process, peb + 0x20, &parameters, sizeof parameters) ||
            !readMemory(process, parameters + 0x38, &name, sizeof name))
            return std::nullopt;
        length = name.length;
        buffer = name.buffer;
    }
    std::wstring folder(length / sizeof(wchar_t), L'\0');
    if (folder.empty() || !readMemory(process, buffer, folder.data(), length))
        return std::nullopt;
    // "C:\Server\" names the folder as "C:\Server" does; "C:\" keeps its own.
    if (folder.size() > 3 && folder.back() == L'\\')
        folder.pop_back();
    return folder;
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
    const std::optional<FileIdentity> first = folderIdentity(a);
    return first && first == folderIdentity(b);
}

ServerSearch serversInFolder(const std::wstring &folder, const std::wstring &program)
{
    ServerSearch search;
    std::vector<ServerProcess> &found = search.servers;
    const std::optional<FileIdentity> here = folderIdentity(folder);
    if (!here) {
        search.problem =
            Problem{ControlProblemKind::FolderUnreadable, {}, {}, errorText(::GetLastError()), {}};
        return search;
    }
    const std::optional<FileIdentity> launched =
        program.empty() ? std::nullopt : fileIdentity(program, false);
    DWORD mySession = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &mySession);
    const std::vector<unsigned char> me = userOf(::GetCurrentProcess());

    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!snapshot || !::Process32FirstW(snapshot.get(), &entry)) {
        search.problem =
            Problem{ControlProblemKind::ProcessListUnreadable, {}, {}, errorText(::GetLastError()), {}};
        return search;
    }
    do {
        DWORD session = 0;
        if (!equalIgnoringCase(entry.szExeFile, serverProgramName) ||
            entry.th32ProcessID == ::GetCurrentProcessId() ||
            !::ProcessIdToSessionId(entry.th32ProcessID, &session) || session != mySession)
            continue;
        // Held from here on: what is checked is what is ended. Its memory is
        // read for its current folder where that is allowed.
        const DWORD access = PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE;
        UniqueHandle process(::OpenProcess(access | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
        if (!process)
            process.reset(::OpenProcess(access, FALSE, entry.th32ProcessID));
        if (!process || !isRunning(process.get()) || userOf(process.get()) != me)
            continue;
        std::wstring image = imagePath(process.get());
        if (image.empty())
            continue;
        // A server works in its current folder, wherever its file lies: that
        // decides, as on Linux. Where it cannot be read, its file does: one in
        // this folder, or the very file Start would launch here.
        const std::optional<std::wstring> working = workingFolderOf(process.get());
        const bool inThisFolder = working ? folderIdentity(*working) == here
                                          : folderIdentity(parentFolder(image)) == here ||
                                                (launched && fileIdentity(image, false) == launched);
        if (!inThisFolder)
            continue;
        found.push_back({entry.th32ProcessID, std::move(process), std::move(image)});
    } while (::Process32NextW(snapshot.get(), &entry));
    std::sort(found.begin(), found.end(),
              [](const ServerProcess &a, const ServerProcess &b) { return a.processId < b.processId; });
    return search;
}

Stopping stopServers(const StopRequest &request)
{
    Stopping stopping;
    const auto notStarted = [&stopping](DWORD error) {
        stopping.problem = Problem{ControlProblemKind::StopNotStarted, {}, {}, errorText(error), {}};
        return std::move(stopping);
    };
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
    ServerSearch search = serversInFolder(request.folder, request.program);
    // The known ones are asked all the same; only the folder's others need
    // the search.
    if (search.problem && reaper->targets.empty()) {
        stopping.problem = search.problem;
        return stopping;
    }
    for (ServerProcess &server : search.servers) {
        const bool already =
            std::any_of(reaper->targets.begin(), reaper->targets.end(),
                        [&](const UniqueHandle &t) { return sameProcess(t.get(), server.process.get()); });
        if (!already)
            reaper->targets.push_back(std::move(server.process));
    }

    // Everything that makes sure they end is made before any is asked to.
    stopping.finished.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopping.finished)
        return notStarted(::GetLastError());
    if (reaper->targets.empty()) {
        ::SetEvent(stopping.finished.get());
        return stopping;
    }
    HANDLE finishedCopy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), stopping.finished.get(), ::GetCurrentProcess(),
                           &finishedCopy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return notStarted(::GetLastError());
    reaper->finished.reset(finishedCopy);
    // The grace period is waited out on a thread of its own, so that the
    // window never waits for it; it starts once all have been asked.
    const UniqueHandle thread(
        ::CreateThread(nullptr, 0, reapAfterGracePeriod, reaper.get(), CREATE_SUSPENDED, nullptr));
    if (!thread)
        return notStarted(::GetLastError());
    for (const UniqueHandle &target : reaper->targets) {
        const DWORD processId = ::GetProcessId(target.get());
        stopping.processIds.push_back(processId);
        ::EnumWindows(closeWindowsOf, LPARAM(processId));
        const bool ownGroup = std::any_of(request.ownGroups.begin(), request.ownGroups.end(),
                                          [&](HANDLE group) { return sameProcess(group, target.get()); });
        if (ownGroup)
            sendBreak(processId);
    }
    reaper.release(); // the thread's now
    if (::ResumeThread(thread.get()) == DWORD(-1))
        stopping.problem =
            Problem{ControlProblemKind::StopNotEnsured, {}, {}, errorText(::GetLastError()), {}};
    return stopping;
}

} // namespace win32
