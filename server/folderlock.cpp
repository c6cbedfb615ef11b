#include "folderlock.h"

#include <utility>

// Acquiring and releasing are the platform's: posix/ and windows/.

FolderLock::FolderLock(FolderLock &&other) noexcept
    : m_held(std::exchange(other.m_held, false)), m_handle(std::exchange(other.m_handle, -1))
{}

FolderLock &FolderLock::operator=(FolderLock &&other) noexcept
{
    if (this != &other) {
        release();
        m_held = std::exchange(other.m_held, false);
        m_handle = std::exchange(other.m_handle, -1);
    }
    return *this;
}

FolderLock::~FolderLock()
{
    release();
}
