#include "platformfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

QString workingFolder()
{
    const QString current = QDir::currentPath();
    char bytes[PATH_MAX];
    if (::getcwd(bytes, sizeof bytes) && QFile::encodeName(current) != QByteArray(bytes))
        return QStringLiteral("/proc/self/cwd");
    return current;
}

namespace {

SmallFileRead unusable(const QString &reason)
{
    return {SmallFileRead::State::Unusable, {}, reason};
}

QString tooLarge(qint64 maxSize)
{
    return QStringLiteral("it is larger than %1 MiB").arg(maxSize / (1024 * 1024));
}

QString userName(uid_t uid)
{
    passwd entry{};
    passwd *found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QStringLiteral("%1 (uid %2)").arg(QString::fromLocal8Bit(found->pw_name)).arg(uid);
    return QStringLiteral("uid %1").arg(uid);
}

} // namespace

SmallFileRead readSmallRegularFile(const QString &path, qint64 maxSize)
{
    // Without O_NONBLOCK a FIFO at the name would hold start-up until
    // something writes to it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return {};
        return unusable(qt_error_string(errno));
    }
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    // Checked on the open file, so that nothing can swap the name meanwhile.
    struct stat status = {};
    if (::fstat(fd, &status) != 0)
        return unusable(qt_error_string(errno));
    if (S_ISDIR(status.st_mode))
        return unusable(QStringLiteral("it is a folder"));
    if (!S_ISREG(status.st_mode))
        return unusable(QStringLiteral("it is not a regular file"));
    if (status.st_size > maxSize)
        return unusable(tooLarge(maxSize));

    QByteArray contents;
    contents.reserve(qsizetype(status.st_size));
    // The size is checked again as the file is read: it may grow meanwhile,
    // and some files report no size at all.
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return unusable(qt_error_string(errno));
        if (got == 0)
            break;
        if (contents.size() + got > maxSize)
            return unusable(tooLarge(maxSize));
        contents.append(buffer, got);
    }
    return {SmallFileRead::State::Read, contents, {}};
}

// QSaveFile writes through a link at the final name, into the file it points
// at. In a folder others may write to, a link another user planted there would
// have Start overwrite any file of the operator's; so, like the kernel's
// protected_symlinks in sticky folders, only links of the user's own or of
// root's are followed. Every link of a chain is checked, dangling ones too.
QString untrustedLinkReason(const QString &path)
{
    QString current = path;
    // QSaveFile stops following after as many links.
    for (int depth = 0; depth < 128; ++depth) {
        struct stat st
        {
        };
        if (::lstat(QFile::encodeName(current).constData(), &st) != 0 || !S_ISLNK(st.st_mode))
            return {};
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
            const QString rule = QStringLiteral("Start follows only links of your own or root's.");
            if (current == path)
                return QStringLiteral("it is a link that another user, %1, made; %2 Remove the link, or make "
                                      "it yourself.")
                    .arg(userName(st.st_uid), rule);
            return QStringLiteral("its link leads on through %1, a link that another user, %2, made; %3")
                .arg(QDir::toNativeSeparators(current), userName(st.st_uid), rule);
        }
        current = QFileInfo(current).symLinkTarget();
    }
    return {};
}
