#pragma once

#include <QFile>

// A file with an advisory whole-file lock (open-file-description locks, so two objects in one
// process exclude each other too). The lock is released when the file is closed or destroyed.
class QtLockedFile : public QFile
{
public:
    enum LockMode { NoLock = 0, ReadLock, WriteLock };

    QtLockedFile();
    explicit QtLockedFile(const QString &name);
    ~QtLockedFile() override;

    // Truncating on open is refused: the file may belong to a running holder of the lock.
    bool open(OpenMode mode) override;
    void close() override;

    bool lock(LockMode mode, bool block = true);
    bool unlock();
    bool isLocked() const { return m_lockMode != NoLock; }
    LockMode lockMode() const { return m_lockMode; }

private:
    bool setLock(short type, bool block);

    LockMode m_lockMode = NoLock;
};
