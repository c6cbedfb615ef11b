#include "win32control.h"

namespace win32 {

namespace {

std::wstring joinPath(const std::wstring &folder, const std::wstring &name)
{
    if (folder.empty())
        return name;
    const wchar_t last = folder.back();
    return (last == L'\\' || last == L'/') ? folder + name : folder + L'\\' + name;
}

bool isFile(const std::wstring &path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isDirectory(const std::wstring &path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring fullPath(const std::wstring &path)
{
    const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::wstring full(size, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    full.resize(length < size ? length : 0);
    return full.empty() ? path : full;
}

// An inheritable handle, for the one process about to be created; the handle
// list keeps it from any other.
UniqueHandle openInheritable(const std::wstring &path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return UniqueHandle(::CreateFileW(path.c_str(), access,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                      disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Whether the file can be opened with that access while others hold it as
// they do: 0, or the reason.
DWORD openError(const std::wstring &path, DWORD access, DWORD share)
{
    const UniqueHandle file(
        ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file ? 0 : ::GetLastError();
}

// The log of one launch. It is written under a name of its own until the
// server runs, so that a launch that fails (a file that is no program) leaves
// the logs of earlier runs as they were: only a run that starts sends the
// last run's log to .log.1.
class Log
{
public:
    Log(const Log &) = delete;
    Log &operator=(const Log &) = delete;
    ~Log()
    {
        if (!m_newPath.empty()) {
            m_handle.reset();
            ::DeleteFileW(m_newPath.c_str());
        }
    }

    static Log open(const std::wstring &folder)
    {
        Log log(joinPath(folder, logFileName), joinPath(folder, previousLogFileName));
        // Readable too: the window reads the server's last line from its end.
        const DWORD access = FILE_APPEND_DATA | FILE_READ_DATA | SYNCHRONIZE;
        if (isDirectory(log.m_path)) {
            log.m_note = {LogNoteKind::NoLog, L"Is a directory", {}};
            return log;
        }
        if (isFile(log.m_path)) {
            // The old log can be moved aside while the server of the run
            // before still writes to it (shared for deletion), not while
            // another program holds it: then it is left alone, and the output
            // goes nowhere.
            if (const DWORD error = openError(log.m_path, DELETE, kShareAll)) {
                log.m_note = {LogNoteKind::NoLog, errorText(error), {}};
                return log;
            }
            // The run before cannot be kept as .log.1 when a folder is in the
            // way, or a .log.1 held open (no file open anywhere can be
            // replaced): the output goes on at the end of the log, and the
            // window says so.
            const bool previousIsFolder = isDirectory(log.m_previousPath);
            if (previousIsFolder ||
                (isFile(log.m_previousPath) && openError(log.m_previousPath, DELETE, 0) != 0)) {
                log.m_handle = openInheritable(log.m_path, access, OPEN_ALWAYS);
                if (!log.m_handle)
                    log.m_note = {LogNoteKind::NoLog, errorText(::GetLastError()), {}};
                else
                    log.m_note.kind =
                        previousIsFolder ? LogNoteKind::PreviousIsFolder : LogNoteKind::PreviousHeldOpen;
                return log;
            }
        }
        const std::wstring stem = log.m_path + L".new-" + std::to_wstring(::GetCurrentProcessId()) + L'-';
        for (int attempt = 0; attempt < 100 && !log.m_handle; ++attempt) {
            const std::wstring candidate = stem + std::to_wstring(attempt);
            log.m_handle = openInheritable(candidate, access, CREATE_NEW);
            if (log.m_handle)
                log.m_newPath = candidate;
            else if (::GetLastError() != ERROR_FILE_EXISTS)
                break;
        }
        if (!log.m_handle)
            log.m_note = {LogNoteKind::NoLog, errorText(::GetLastError()), {}};
        return log;
    }

    HANDLE handle() const { return m_handle.get(); }
    const LogNote &note() const { return m_note; }

    // Once the server runs: the log of the run before becomes .log.1 and the
    // new one takes the log's name (open files are renamed as they are
    // written). Should that fail all the same, the new log keeps its own name,
    // and the note says so. Returns the handle.
    UniqueHandle putInPlace(LogNote *note)
    {
        if (!m_newPath.empty()) {
            if (isFile(m_path) &&
                !::MoveFileExW(m_path.c_str(), m_previousPath.c_str(), MOVEFILE_REPLACE_EXISTING))
                m_note = {LogNoteKind::OldNotRenamed, errorText(::GetLastError()), m_newPath};
            else if (!::MoveFileExW(m_newPath.c_str(), m_path.c_str(), 0))
                m_note = {LogNoteKind::NewNotRenamed, errorText(::GetLastError()), m_newPath};
            m_newPath.clear();
        }
        *note = m_note;
        return std::move(m_handle);
    }

private:
    static constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

    Log(std::wstring path, std::wstring previousPath)
        : m_path(std::move(path)), m_previousPath(std::move(previousPath))
    {}
    Log(Log &&other) noexcept
        : m_path(std::move(other.m_path)), m_previousPath(std::move(other.m_previousPath)),
          m_newPath(std::exchange(other.m_newPath, {})), m_handle(std::move(other.m_handle)),
          m_note(std::move(other.m_note))
    {}

    std::wstring m_path;
    std::wstring m_previousPath;
    std::wstring m_newPath; // the file written until the server runs
    UniqueHandle m_handle;
    LogNote m_note;
};

// Why a program file could not be started.
Problem launchProblem(const std::wstring &program, DWORD error)
{
    switch (error) {
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
    case ERROR_INVALID_EXE_SIGNATURE:
        // Windows' own words here hold a "%1" for the file: the kind says it.
        return {ControlProblemKind::NotAProgram, program, {}, {}, {}};
    case ERROR_ACCESS_DENIED:
        return {ControlProblemKind::ProgramNotExecutable, program, {}, errorText(error), {}};
    default:
        return {ControlProblemKind::LaunchFailed, program, {}, errorText(error), {}};
    }
}

} // namespace

std::wstring executableFolder()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length == 0)
            return currentFolder();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? currentFolder() : path.substr(0, slash);
}

std::wstring currentFolder()
{
    const DWORD size = ::GetCurrentDirectoryW(0, nullptr);
    std::wstring folder(size, L'\0');
    const DWORD length = ::GetCurrentDirectoryW(size, folder.data());
    folder.resize(length < size ? length : 0);
    return folder;
}

std::vector<std::wstring> searchFolders(const std::wstring &programFolder, const std::wstring &currentFolder,
                                        const std::wstring &pathValue)
{
    std::vector<std::wstring> folders{programFolder, currentFolder};
    size_t start = 0;
    while (start <= pathValue.size()) {
        size_t end = pathValue.find(L';', start);
        if (end == std::wstring::npos)
            end = pathValue.size();
        std::wstring entry = pathValue.substr(start, end - start);
        // PATH may quote an entry that holds a semicolon of its own; quotes
        // are not part of the name.
        if (!entry.empty() && entry.front() == L'"') {
            const size_t close = pathValue.find(L'"', start + 1);
            if (close != std::wstring::npos) {
                entry = pathValue.substr(start + 1, close - start - 1);
                end = pathValue.find(L';', close);
                if (end == std::wstring::npos)
                    end = pathValue.size();
            }
        }
        if (!entry.empty())
            folders.push_back(entry);
        start = end + 1;
    }
    return folders;
}

std::optional<std::wstring> findProgram(const std::vector<std::wstring> &folders, const std::wstring &name)
{
    for (const std::wstring &folder : folders) {
        if (folder.empty())
            continue;
        const std::wstring candidate = joinPath(folder, name);
        if (isFile(candidate))
            return fullPath(candidate);
    }
    return std::nullopt;
}

std::wstring quoteArgument(const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal except before a quote, where each pair
        // stands for one; the quote itself is escaped with one more.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    // Before the closing quote, every backslash must be doubled.
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

std::wstring commandLine(const std::wstring &program, const std::vector<std::wstring> &arguments)
{
    // The program name is read up to the next quote, with no escapes; a
    // Windows path cannot hold a quote.
    std::wstring line = L"\"" + program + L"\"";
    for (const std::wstring &argument : arguments)
        line += L' ' + quoteArgument(argument);
    return line;
}

Launched launchProgram(const LaunchRequest &request)
{
    Launched launched;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    // An input that never ends, as a hidden console's: a pipe that nothing
    // writes to, whose write end the server holds as well, so that it stays
    // open for as long as the server runs, after this program has ended too.
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        launched.problem = launchProblem(request.program, ::GetLastError());
        return launched;
    }
    const UniqueHandle input(readEnd);
    const UniqueHandle inputKept(writeEnd);
    Log log = Log::open(request.workingFolder);
    UniqueHandle nowhere;
    if (!log.handle()) {
        launched.logNote = log.note();
        nowhere.reset(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    const HANDLE output = log.handle() ? log.handle() : nowhere.get();
    if (!output) {
        launched.problem = launchProblem(request.program, ::GetLastError());
        return launched;
    }

    // Only these handles reach the server: not the window's files, nor
    // another launch's log.
    HANDLE inherited[] = {input.get(), inputKept.get(), output};
    SIZE_T listSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<unsigned char> listBuffer(listSize);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer.data());
    if (!::InitializeProcThreadAttributeList(attributes, 1, 0, &listSize) ||
        !::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                     sizeof inherited, nullptr, nullptr)) {
        launched.problem = launchProblem(request.program, ::GetLastError());
        return launched;
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE; // for a server that has a window
    startup.StartupInfo.hStdInput = input.get();
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = attributes;

    std::wstring line = commandLine(request.program, request.arguments);
    PROCESS_INFORMATION created{};
    // A console of its own without a window, in a group of its own so that
    // Stop can send it CTRL_BREAK_EVENT alone.
    const DWORD flags = CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT |
                        EXTENDED_STARTUPINFO_PRESENT;
    const BOOL started =
        ::CreateProcessW(request.program.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr,
                         request.workingFolder.empty() ? nullptr : request.workingFolder.c_str(),
                         &startup.StartupInfo, &created);
    const DWORD error = ::GetLastError();
    ::DeleteProcThreadAttributeList(attributes);
    if (!started) {
        launched.problem = launchProblem(request.program, error);
        return launched;
    }
    ::CloseHandle(created.hThread);
    launched.process.reset(created.hProcess);
    launched.processId = created.dwProcessId;
    if (log.handle()) {
        UniqueHandle kept = log.putInPlace(&launched.logNote);
        // Kept for reading; a later launch must not hand it to its server.
        if (::SetHandleInformation(kept.get(), HANDLE_FLAG_INHERIT, 0))
            launched.log = std::move(kept);
    }
    return launched;
}

std::optional<std::wstring> findServerProgram(const std::wstring &programFolder)
{
    const DWORD pathSize = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    std::wstring path(pathSize, L'\0');
    path.resize(pathSize ? ::GetEnvironmentVariableW(L"PATH", path.data(), pathSize) : 0);
    return findProgram(searchFolders(programFolder, currentFolder(), path), serverProgramName);
}

Launched launchServer(const std::wstring &programFolder)
{
    const std::wstring here = currentFolder();
    const std::optional<std::wstring> program = findServerProgram(programFolder);
    if (!program) {
        Launched missing;
        missing.problem =
            Problem{ControlProblemKind::ProgramNotFound, serverProgramName, {}, {}, {programFolder, here}};
        return missing;
    }
    return launchProgram({*program, {}, here});
}

std::string fileTail(HANDLE file, size_t maxBytes, bool *startsAtFileStart)
{
    LARGE_INTEGER size{};
    *startsAtFileStart = true;
    if (!::GetFileSizeEx(file, &size) || size.QuadPart <= 0)
        return {};
    const LONGLONG start = size.QuadPart > LONGLONG(maxBytes) ? size.QuadPart - LONGLONG(maxBytes) : 0;
    *startsAtFileStart = start == 0;
    std::string tail(size_t(size.QuadPart - start), '\0');
    OVERLAPPED at{};
    at.Offset = DWORD(start & 0xffffffff);
    at.OffsetHigh = DWORD(start >> 32);
    DWORD got = 0;
    if (!::ReadFile(file, tail.data(), DWORD(tail.size()), &got, &at))
        return {};
    tail.resize(got);
    return tail;
}

std::optional<DWORD> exitCode(HANDLE process)
{
    if (::WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code))
        return std::nullopt;
    return code;
}

} // namespace win32
