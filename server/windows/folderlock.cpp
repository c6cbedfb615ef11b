#include "folderlock.h"

#include <windows.h>

#include <cwchar>

namespace {

// The mutex's name: the folder's identity (its volume and file index), so
// that every spelling of the folder's path meets the same lock.
bool lockName(wchar_t *name, size_t size)
{
    const HANDLE folder =
        ::CreateFileW(L".", FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL known = ::GetFileInformationByHandle(folder, &info);
    ::CloseHandle(folder);
    if (!known)
        return false;
    std::swprintf(name, size, L"Local\\OrbelithServerGui-folder-%08lx-%08lx%08lx", info.dwVolumeSerialNumber,
                  info.nFileIndexHigh, info.nFileIndexLow);
    return true;
}

} // namespace

FolderLock FolderLock::acquire(std::chrono::milliseconds patience)
{
    FolderLock lock;
    wchar_t name[96];
    // A named mutex leaves nothing in the folder, and one whose holder ended
    // without releasing it is handed on as abandoned.
    const HANDLE mutex =
        lockName(name, sizeof name / sizeof name[0]) ? ::CreateMutexW(nullptr, FALSE, name) : nullptr;
    if (!mutex) {
        lock.m_held = true;
        return lock;
    }
    lock.m_handle = reinterpret_cast<std::intptr_t>(mutex);
    const DWORD waited = ::WaitForSingleObject(mutex, DWORD(patience.count()));
    lock.m_held = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (!lock.m_held) {
        ::CloseHandle(mutex);
        lock.m_handle = -1;
    }
    return lock;
}

void FolderLock::release()
{
    if (m_handle != -1) {
        const HANDLE mutex = reinterpret_cast<HANDLE>(m_handle);
        ::ReleaseMutex(mutex);
        ::CloseHandle(mutex);
    }
    m_handle = -1;
    m_held = false;
}
