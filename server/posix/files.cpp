#include "platformfiles.h"
#include "posix/users.h"

#include "uniquefd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRandomGenerator>
#include <QScopeGuard>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

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

namespace {

// A link is followed only when it is the user's own or root's, as the
// kernel's protected_symlinks does in sticky folders: in a folder others may
// write to, another user's link would have Start overwrite any file of the
// operator's.
bool trustedOwner(uid_t owner)
{
    return owner == ::geteuid() || owner == 0;
}

QString untrustedLink(const QByteArray &link, uid_t owner, bool atTheName)
{
    const QString rule = QStringLiteral("Start follows only links of your own or root's.");
    if (atTheName)
        return QStringLiteral("it is a link that another user, %1, made; %2 Remove the link, or make it "
                              "yourself.")
            .arg(userName(owner), rule);
    return QStringLiteral("its link leads on through %1, a link that another user, %2, made; %3")
        .arg(QFile::decodeName(link), userName(owner), rule);
}

QByteArray joined(const QByteArray &folder, const QByteArray &name)
{
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

// Where a name leads: the folder that holds the file, open, and the file's
// name in it. Every link on the way, in the folders as well as at the end, is
// checked and then followed by what was opened, never by its name again, so
// that nothing another user changes after the check can send the write
// elsewhere.
class Resolver
{
public:
    UniqueFd folder;
    QByteArray name;
    // What is at the name, when something is: anything but a link.
    bool exists = false;
    struct stat found = {};
    QString problem;

    bool resolve(UniqueFd start, const QByteArray &shownStart, const QByteArray &path)
    {
        folder = std::move(start);
        QByteArray shown = shownStart;
        if (path.startsWith('/')) {
            folder = UniqueFd(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            shown = "/";
        }
        const QList<QByteArray> parts = path.split('/');
        qsizetype last = parts.size() - 1;
        while (last > 0 && parts[last].isEmpty())
            --last;
        for (qsizetype i = 0; i <= last; ++i) {
            const QByteArray &part = parts[i];
            if (part.isEmpty() || (part == "." && i < last))
                continue;
            UniqueFd entry(::openat(folder.get(), part.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            if (!entry.valid() && !(errno == ENOENT && i == last))
                return fail(qt_error_string(errno));
            struct stat st = {};
            if (entry.valid() && ::fstat(entry.get(), &st) != 0)
                return fail(qt_error_string(errno));
            const QByteArray here = joined(shown, part);
            if (entry.valid() && S_ISLNK(st.st_mode)) {
                if (!trustedOwner(st.st_uid))
                    return fail(untrustedLink(here, st.st_uid, m_links == kMaxLinks));
                if (--m_links < 0)
                    return fail(qt_error_string(ELOOP));
                char target[PATH_MAX];
                const ssize_t length = ::readlinkat(entry.get(), "", target, sizeof target);
                if (length < 0 || size_t(length) == sizeof target)
                    return fail(qt_error_string(length < 0 ? errno : ENAMETOOLONG));
                const QByteArray rest = i < last
                                            ? QByteArray(target, length) + '/' + parts.mid(i + 1).join('/')
                                            : QByteArray(target, length);
                return resolve(std::move(folder), shown, rest);
            }
            if (i == last) {
                name = part;
                exists = entry.valid();
                found = st;
                return true;
            }
            if (!S_ISDIR(st.st_mode))
                return fail(qt_error_string(ENOTDIR));
            folder = std::move(entry);
            shown = here;
        }
        return fail(QStringLiteral("it is a folder"));
    }

private:
    static constexpr int kMaxLinks = 40;

    bool fail(const QString &why)
    {
        problem = why;
        return false;
    }

    int m_links = kMaxLinks;
};

QString fullyWritten(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t wrote = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0)
            return qt_error_string(errno);
        done += wrote;
    }
    if (::fsync(fd) != 0 && errno != EINVAL)
        return qt_error_string(errno);
    return {};
}

QByteArray procLink(int fd)
{
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// Gives the open file the name in the folder; fails when the name is taken.
bool linkAt(int fd, int folder, const QByteArray &name)
{
    return ::linkat(AT_FDCWD, procLink(fd).constData(), folder, name.constData(), AT_SYMLINK_FOLLOW) == 0;
}

QByteArray temporaryName(const QByteArray &name)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray result = name + '.';
    for (int i = 0; i < 6; ++i)
        result += letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))];
    return result;
}

} // namespace

struct StagedFile::Private
{
    UniqueFd folder;
    QByteArray name;
    bool replaces = false;
    UniqueFd file;
    // The new file's name in the folder while it has one; none for an
    // unnamed O_TMPFILE, which the system discards with its descriptor.
    QByteArray temporary;

    // Gives the new file a temporary name beside the final one.
    QString linkTemporary()
    {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const QByteArray candidate = temporaryName(name);
            if (linkAt(file.get(), folder.get(), candidate)) {
                temporary = candidate;
                return {};
            }
            if (errno != EEXIST)
                return qt_error_string(errno);
        }
        return qt_error_string(EEXIST);
    }
};

StagedFile::StagedFile() : d(std::make_unique<Private>()) {}

StagedFile::~StagedFile()
{
    if (!d->temporary.isEmpty())
        ::unlinkat(d->folder.get(), d->temporary.constData(), 0);
}

QString StagedFile::write(const QString &directory, const QString &name, const QByteArray &bytes)
{
    const QByteArray folderName = QFile::encodeName(directory);
    UniqueFd start(::open(folderName.constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!start.valid())
        return qt_error_string(errno);
    Resolver place;
    if (!place.resolve(std::move(start), folderName, QFile::encodeName(name)))
        return place.problem;
    d->folder = std::move(place.folder);
    d->name = place.name;
    d->replaces = place.exists;
    if (d->replaces && S_ISDIR(place.found.st_mode))
        return QStringLiteral("it is a folder");
    // As QSaveFile did: a file that may not be written is not replaced, though
    // the folder would allow it.
    if (d->replaces &&
        ::faccessat(d->folder.get(), d->name.constData(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == EACCES)
        return QStringLiteral("the existing file is not writable");

    // Only this process can reach an unnamed file; a new one takes the umask,
    // and one that replaces a file takes that file's mode before anything is
    // in it.
    const mode_t mode = d->replaces ? 0600 : 0666;
    d->file = UniqueFd(::openat(d->folder.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    // It is given its name through /proc, which may not be there.
    if (d->file.valid() && ::access(procLink(d->file.get()).constData(), F_OK) != 0) {
        d->file.reset();
        errno = EOPNOTSUPP;
    }
    if (!d->file.valid() && (errno == EOPNOTSUPP || errno == EISDIR)) {
        // No O_TMPFILE here: a new name that nothing was at.
        for (int attempt = 0; attempt < 100 && !d->file.valid(); ++attempt) {
            d->temporary = temporaryName(d->name);
            d->file = UniqueFd(::openat(d->folder.get(), d->temporary.constData(),
                                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            if (!d->file.valid() && errno != EEXIST)
                break;
        }
        if (!d->file.valid())
            d->temporary.clear();
    }
    if (!d->file.valid())
        return qt_error_string(errno);
    if (d->replaces && ::fchmod(d->file.get(), place.found.st_mode & 07777) != 0)
        return qt_error_string(errno);
    return fullyWritten(d->file.get(), bytes);
}

QString StagedFile::commit()
{
    // A link another user put at the name since it was checked is never
    // followed; say so rather than replace it.
    struct stat now = {};
    if (::fstatat(d->folder.get(), d->name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(now.st_mode) && !trustedOwner(now.st_uid))
        return untrustedLink(d->name, now.st_uid, true);

    if (!d->file.valid())
        return qt_error_string(EBADF);
    if (d->temporary.isEmpty() && !d->replaces) {
        if (linkAt(d->file.get(), d->folder.get(), d->name)) {
            d->file.reset();
            return {};
        }
        if (errno != EEXIST)
            return qt_error_string(errno);
    }
    if (d->temporary.isEmpty()) {
        if (const QString failed = d->linkTemporary(); !failed.isEmpty())
            return failed;
    }
    if (::renameat(d->folder.get(), d->temporary.constData(), d->folder.get(), d->name.constData()) != 0)
        return qt_error_string(errno);
    d->temporary.clear();
    d->file.reset();
    return {};
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
