// A stand-in server for the Windows backend's tests, run under Wine as
// orbelithsrv.exe. Its arguments are steps, done in order:
//   report       print what it was given: arguments, folder, window, handles
//   say TEXT     print TEXT
//   conf         print each line of orbelithsrv.conf, read in the ANSI code
//                page as the server reads it, after "conf: "
//   window       open a hidden top-level window that ends the program on WM_CLOSE
//   console      end the program on CTRL_BREAK_EVENT
//   stubborn     like window and console, but only say that it was asked
//   read         read the input until it ends, then print "input ended" and
//                end with exit code 9
//   hold FILE    hold FILE open as a log viewer does: others may read and
//                write it, not delete or replace it
//   ready        print "ready" (the test waits for it in the log)
//   wait         run until ended
//   exit N       end with exit code N
// Without arguments, as the window launches a server, it does the steps in
// teststeps.txt of its working folder, one a line; without that file it
// reports and exits with 0.

#include <windows.h>

#include <shellapi.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool g_stubborn = false;

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

void print(HANDLE to, const std::string &line)
{
    const std::string text = line + "\r\n";
    DWORD written = 0;
    ::WriteFile(to, text.data(), DWORD(text.size()), &written, nullptr);
}

void say(const std::string &line)
{
    print(::GetStdHandle(STD_OUTPUT_HANDLE), line);
}

std::wstring environment(const wchar_t *name)
{
    wchar_t value[512] = {};
    const DWORD length = ::GetEnvironmentVariableW(name, value, 512);
    return length > 0 && length < 512 ? std::wstring(value, length) : std::wstring();
}

// Whether a handle the test made inheritable, but did not mean for the
// server, arrived here: its value then names the test's file.
std::string leakedHandle()
{
    const std::wstring value = environment(L"ORBELITH_TEST_SECRET_HANDLE");
    const std::wstring path = environment(L"ORBELITH_TEST_SECRET_PATH");
    if (value.empty() || path.empty())
        return "unknown";
    const auto handle =
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::wcstoull(value.c_str(), nullptr, 10)));
    BY_HANDLE_FILE_INFORMATION inherited{};
    if (!::GetFileInformationByHandle(handle, &inherited))
        return "no";
    const HANDLE file = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION secret{};
    const bool same = file != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(file, &secret) &&
                      secret.dwVolumeSerialNumber == inherited.dwVolumeSerialNumber &&
                      secret.nFileIndexHigh == inherited.nFileIndexHigh &&
                      secret.nFileIndexLow == inherited.nFileIndexLow;
    if (file != INVALID_HANDLE_VALUE)
        ::CloseHandle(file);
    return same ? "yes" : "no";
}

void report(int argc, wchar_t **argv)
{
    for (int i = 0; i < argc; ++i)
        say("arg" + std::to_string(i) + "=[" + toUtf8(argv[i]) + "]");
    wchar_t folder[MAX_PATH * 2] = {};
    ::GetCurrentDirectoryW(MAX_PATH * 2, folder);
    say("folder=[" + toUtf8(folder) + "]");
    wchar_t image[MAX_PATH * 2] = {};
    ::GetModuleFileNameW(nullptr, image, MAX_PATH * 2);
    say("image=[" + toUtf8(image) + "]");
    STARTUPINFOW startup{};
    ::GetStartupInfoW(&startup);
    say("showwindow=" + std::string((startup.dwFlags & STARTF_USESHOWWINDOW) ? "set" : "unset") + "," +
        std::to_string(startup.wShowWindow));
    say("stdin=" + std::to_string(::GetFileType(::GetStdHandle(STD_INPUT_HANDLE))));
    // A pipe without a writer left has ended, as NUL has at once.
    DWORD available = 0;
    const bool open =
        ::PeekNamedPipe(::GetStdHandle(STD_INPUT_HANDLE), nullptr, 0, nullptr, &available, nullptr) != 0;
    say("input=" + std::string(open ? "open" : "ended"));
    say("consolewindow=" + std::string(::GetConsoleWindow() ? "shown" : "none"));
    say("leaked=" + leakedHandle());
    print(::GetStdHandle(STD_ERROR_HANDLE), "error output");
}

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        if (g_stubborn) {
            say("ignored: WM_CLOSE");
            return 0;
        }
        say("asked: WM_CLOSE");
        ::ExitProcess(0);
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

BOOL WINAPI consoleHandler(DWORD event)
{
    if (event != CTRL_BREAK_EVENT && event != CTRL_C_EVENT)
        return FALSE;
    if (g_stubborn) {
        say("ignored: CTRL_BREAK");
        return TRUE;
    }
    say("asked: CTRL_BREAK");
    ::ExitProcess(0);
}

void openWindow()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProcedure;
    windowClass.hInstance = ::GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"OrbelithTestServer";
    ::RegisterClassW(&windowClass);
    // A top-level window that is never shown, as a server's would be.
    if (!::CreateWindowExW(0, L"OrbelithTestServer", L"Orbelith test server", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                           100, nullptr, nullptr, windowClass.hInstance, nullptr))
        say("window failed: " + std::to_string(::GetLastError()));
}

DWORD WINAPI readInput(void *)
{
    char buffer[256];
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
    say("input ended");
    ::ExitProcess(9);
}

[[noreturn]] void waitUntilEnded()
{
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    ::ExitProcess(0);
}

// The lines of a text file in the working folder, in the code page.
std::vector<std::wstring> fileLines(const wchar_t *name, UINT codePage)
{
    std::vector<std::wstring> lines;
    const HANDLE file = ::CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return lines;
    std::string text(64 * 1024, '\0');
    DWORD got = 0;
    ::ReadFile(file, text.data(), DWORD(text.size()), &got, nullptr);
    ::CloseHandle(file);
    text.resize(got);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::wstring wide(line.size(), L'\0');
        wide.resize(size_t(::MultiByteToWideChar(codePage, 0, line.data(), int(line.size()), wide.data(),
                                                 int(wide.size()))));
        lines.push_back(wide);
        start = end + 1;
    }
    return lines;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    std::vector<std::wstring> steps(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (steps.empty())
        steps = fileLines(L"teststeps.txt", CP_UTF8);
    if (steps.empty()) {
        report(argc, argv);
        return 0;
    }
    const int count = int(steps.size());
    for (int i = 0; i < count; ++i) {
        const std::wstring step = steps[size_t(i)];
        if (step == L"report") {
            report(argc, argv);
        } else if (step == L"say" && i + 1 < count) {
            say(toUtf8(steps[size_t(++i)]));
        } else if (step == L"conf") {
            for (const std::wstring &line : fileLines(L"orbelithsrv.conf", CP_ACP))
                say("conf: " + toUtf8(line));
        } else if (step == L"window") {
            openWindow();
        } else if (step == L"console") {
            ::SetConsoleCtrlHandler(consoleHandler, TRUE);
        } else if (step == L"stubborn") {
            g_stubborn = true;
            openWindow();
            ::SetConsoleCtrlHandler(consoleHandler, TRUE);
        } else if (step == L"read") {
            ::CloseHandle(::CreateThread(nullptr, 0, readInput, nullptr, 0, nullptr));
        } else if (step == L"hold" && i + 1 < count) {
            // Kept open until the program ends.
            ::CreateFileW(steps[size_t(++i)].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        } else if (step == L"ready") {
            say("ready");
        } else if (step == L"wait") {
            waitUntilEnded();
        } else if (step == L"exit" && i + 1 < count) {
            return int(std::wcstoul(steps[size_t(++i)].c_str(), nullptr, 10));
        }
    }
    return 0;
}
