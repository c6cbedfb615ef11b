#pragma once

// The Win32 side of server control, in plain C++ with wide strings, so that it
// builds and is tested without Qt (cross-compiled, run under Wine). The Qt
// backend converts to and from QString at its edge.

#include "controlproblemkind.h"

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace win32 {

// What went wrong, as a kind and its details, never a sentence: which
// details each kind fills, controlproblemkind.h says; the sentence the
// operator reads is made once, on the Qt side (messages.cpp).
struct Problem
{
    ControlProblemKind kind = ControlProblemKind::LaunchFailed;
    std::wstring subject;
    std::wstring detail;
    // The system's own words for the error.
    std::wstring systemError;
    std::vector<std::wstring> folders;
};

// What became of the server's log at a launch (LogNoteKind).
struct LogNote
{
    LogNoteKind kind = LogNoteKind::None;
    std::wstring systemError;
    // Where this run's output is, when it is not in the log.
    std::wstring file;
};

// A kernel handle that is closed with its owner.
class UniqueHandle
{
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    UniqueHandle(UniqueHandle &&other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}
    UniqueHandle &operator=(UniqueHandle &&other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.m_handle, nullptr));
        return *this;
    }
    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    HANDLE release() { return std::exchange(m_handle, nullptr); }
    void reset(HANDLE handle = nullptr)
    {
        if (m_handle)
            ::CloseHandle(m_handle);
        m_handle = handle;
    }

private:
    HANDLE m_handle = nullptr;
};

inline constexpr const wchar_t *serverProgramName = L"orbelithsrv.exe";
// This program's names, not the server's: a server may keep an
// orbelithsrv.log of its own, which is never touched.
inline constexpr const wchar_t *logFileName = L"orbelith-gui-server.log";
inline constexpr const wchar_t *previousLogFileName = L"orbelith-gui-server.log.1";

// ---- Text ----------------------------------------------------------------

std::wstring fromUtf8(const std::string &text);
std::string toUtf8(const std::wstring &text);

// The system's words for an error code, without the trailing full stop and
// line break, so that they fit inside a sentence.
std::wstring errorText(DWORD error);

// Text in a code page, as the server's files are written in the system's ANSI
// code page (GetACP()).
struct CodePageText
{
    // With a stand-in such as "?" for each character the code page lacks.
    std::string bytes;
    // Where the first character that the code page cannot hold starts in the
    // text; npos when it holds every one.
    size_t unwritableAt = std::wstring::npos;
};
CodePageText toCodePage(const std::wstring &text, UINT codePage);

// A settings file's bytes as text: UTF-8 when they begin with its byte-order
// mark (which is dropped) or are valid UTF-8 throughout, as files that other
// programs, or earlier builds of this one, wrote; else in the code page.
std::wstring settingsFileText(const std::string &bytes, UINT codePage);

// ---- Launch --------------------------------------------------------------

// The folder of this program's executable.
std::wstring executableFolder();
std::wstring currentFolder();

// Where the server program is looked for, in order: the program's own folder,
// the current folder, then each folder of PATH (as ';'-separated in pathValue,
// quotes around an entry allowed).
std::vector<std::wstring> searchFolders(const std::wstring &programFolder, const std::wstring &currentFolder,
                                        const std::wstring &pathValue);

// The first folder holding a file (not a directory) of that name.
std::optional<std::wstring> findProgram(const std::vector<std::wstring> &folders, const std::wstring &name);

// One argument quoted so that CommandLineToArgvW (and the C runtime) give it
// back unchanged.
std::wstring quoteArgument(const std::wstring &argument);
// A whole command line: the program (always quoted, as Windows reads the
// program name without escapes) and its arguments.
std::wstring commandLine(const std::wstring &program, const std::vector<std::wstring> &arguments);

struct LaunchRequest
{
    std::wstring program;                // a full path
    std::vector<std::wstring> arguments; // none for the server
    std::wstring workingFolder;          // its folder, and where its log goes
};

struct Launched
{
    // Set when nothing was started.
    std::optional<Problem> problem;
    UniqueHandle process;
    DWORD processId = 0;
    // The log, kept open (not inherited by later launches) to read the
    // server's last words when it ends; none when the output goes nowhere.
    UniqueHandle log;
    LogNote logNote;
};

// Starts the program hidden, without a console window, in a process group of
// its own, with an input that never ends and its output in a new log in its
// working folder (once it runs, the log of the run before is kept as .log.1),
// and with no handle of this program but those. Returns at once.
Launched launchProgram(const LaunchRequest &request);

// The file that launchServer would start: the first orbelithsrv.exe along
// searchFolders, with PATH from the environment.
std::optional<std::wstring> findServerProgram(const std::wstring &programFolder);

// Finds the server program (findServerProgram) and launches it without
// arguments in the current folder.
Launched launchServer(const std::wstring &programFolder);

// The exit code of an ended process.
std::optional<DWORD> exitCode(HANDLE process);

// At most the last maxBytes of an open file; startsAtFileStart tells whether
// that is the whole file.
std::string fileTail(HANDLE file, size_t maxBytes, bool *startsAtFileStart);

// ---- Finding and stopping servers ----------------------------------------

// Whether two paths name the same folder (the same file on the same volume,
// whatever the spelling, letter case or short names).
bool sameFolder(const std::wstring &a, const std::wstring &b);

struct ServerProcess
{
    DWORD processId = 0;
    UniqueHandle process; // may be waited on, queried and terminated
    std::wstring image;   // the full path of its executable
};

struct ServerSearch
{
    std::vector<ServerProcess> servers;
    // Why the folder's servers cannot be told (FolderUnreadable,
    // ProcessListUnreadable); servers is empty then.
    std::optional<Problem> problem;
};

// The processes of this user's session named orbelithsrv.exe (in any letter
// case) that work in folder: their current folder is folder, or, where that
// cannot be read, their executable lies in folder or is program (the file
// Start would launch there; may be empty). Lowest process ID first. Each is
// held by its handle from the moment it is examined, so that a recycled
// process ID can never be hit.
ServerSearch serversInFolder(const std::wstring &folder, const std::wstring &program = {});

struct StopRequest
{
    // Processes known by handle (the launched or adopted server), matched
    // whatever their image's folder.
    std::vector<HANDLE> known;
    // Processes known by handle whose console process group this program
    // created: they are sent CTRL_BREAK_EVENT as well.
    std::vector<HANDLE> ownGroups;
    // Every other server in this folder is ended too (serversInFolder).
    std::wstring folder;
    std::chrono::milliseconds gracePeriod{3000};
    // The exit code given to a server that has to be terminated.
    UINT terminationCode = 1;
    // The file Start would launch in folder, for serversInFolder.
    std::wstring program{};
};

struct Stopping
{
    // Set when nothing was asked to end (StopNotStarted, or the folder's
    // servers cannot be told and none was known), or when their end after the
    // grace period cannot be made sure (StopNotEnsured).
    std::optional<Problem> problem;
    // Signalled once every process asked to end has ended (already
    // signalled when there were none).
    UniqueHandle finished;
    std::vector<DWORD> processIds;
};

// Asks each server to end (WM_CLOSE to its top-level windows; CTRL_BREAK_EVENT
// to its console group where this program made one) and returns at once; a
// thread of its own terminates those still running after the grace period.
Stopping stopServers(const StopRequest &request);

// ---- Settings files ------------------------------------------------------

// A program that holds a file open.
struct FileHolder
{
    std::wstring name;
    DWORD processId = 0;
};

// What became of a file that could not be replaced, written in place.
struct InPlaceWrite
{
    enum class Outcome
    {
        Written,            // completely
        NotWritable,        // it cannot be opened for writing either: the failure to replace it stands
        HeldAgainstWriting, // another program holds it so that it can be neither replaced nor written
        WrittenPartly,      // the write failed partway: it is incomplete now; error
    };
    Outcome outcome = Outcome::NotWritable;
    DWORD error = 0;
    // Who holds it, where the Restart Manager tells; this program excepted.
    std::vector<FileHolder> holders;
};

// After the file at path could not be replaced (as while another program, a
// log viewer or a tail tool, holds it open without letting it be deleted or
// renamed, or only reads it for a moment): writes bytes into it in place, as
// a text file is rewritten, so that such a reader sees the new contents.
InPlaceWrite writeInPlace(const std::wstring &path, const std::string &bytes);

// ---- The shell and the network -------------------------------------------

// Opens the address with the program Windows has for it (the web browser).
std::optional<Problem> openUrl(const std::wstring &url);

// The first IPv4 address of an adapter that is up and not a loopback adapter,
// in the order Windows lists them; "127.0.0.1" when there is none.
std::wstring localIpv4Address();

} // namespace win32
