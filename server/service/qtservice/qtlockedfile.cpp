#include "service/qtservice/qtlockedfile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

QtLockedFile::QtLockedFile() = default;

QtLockedFile::QtLockedFile(const QString &name)
    : QFile(name)
{
}

QtLockedFile::~QtLockedFile()
{
    if (isOpen())
        unlock();
}

bool QtLockedFile::open(OpenMode mode)
{
    if (mode & QIODevice::Truncate) {
        qWarning("QtLockedFile::open(): Truncate mode not allowed.");
        return false;
    }
    return QFile::open(mode);
}

void QtLockedFile::close()
{
    // Closing the descriptor drops the lock with it.
    QFile::close();
    m_lockMode = NoLock;
}

bool QtLockedFile::setLock(short type, bool block)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0; // the whole file, however long it grows
    int result;
    do {
        result = ::fcntl(handle(), block ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
    } while (result == -1 && errno == EINTR && block);
    return result == 0;
}

bool QtLockedFile::lock(LockMode mode, bool block)
{
    if (!isOpen() || mode == NoLock)
        return mode == NoLock ? unlock() : false;
    if (mode == m_lockMode)
        return true;
    if (!setLock(mode == ReadLock ? F_RDLCK : F_WRLCK, block))
        return false;
    m_lockMode = mode;
    return true;
}

bool QtLockedFile::unlock()
{
    if (!isOpen())
        return false;
    if (m_lockMode == NoLock)
        return true;
    if (!setLock(F_UNLCK, false))
        return false;
    m_lockMode = NoLock;
    return true;
}
