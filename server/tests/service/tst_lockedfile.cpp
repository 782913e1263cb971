// The pid file's lock: exclusive between holders, released with the file, and no truncation on
// open (the file may belong to the running service).
#include "qtlockedfile.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestLockedFile : public QObject
{
    Q_OBJECT

private slots:
    void writeLockExcludesOtherHolders();
    void truncatingOpenIsRefused();
    void lockOfAnotherProcessIsSeen();
};

void TestLockedFile::writeLockExcludesOtherHolders()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pid"));
    QtLockedFile first(path);
    QVERIFY(first.open(QIODevice::ReadWrite));
    QVERIFY(first.lock(QtLockedFile::WriteLock, false));
    QVERIFY(first.isLocked());

    QtLockedFile second(path);
    QVERIFY(second.open(QIODevice::ReadWrite));
    QVERIFY(!second.lock(QtLockedFile::WriteLock, false));
    QVERIFY(!second.lock(QtLockedFile::ReadLock, false));

    QVERIFY(first.unlock());
    QVERIFY(second.lock(QtLockedFile::WriteLock, false));
    second.close(); // closing releases
    QVERIFY(!second.isLocked());
    QVERIFY(first.lock(QtLockedFile::WriteLock, false));
}

void TestLockedFile::truncatingOpenIsRefused()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pid"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("1234\n");
    }
    QtLockedFile file(path);
    QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::open(): Truncate mode not allowed.");
    QVERIFY(!file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(QFileInfo(path).size(), 5);
}

void TestLockedFile::lockOfAnotherProcessIsSeen()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("pid"));
    // Python's lockf is a plain fcntl record lock, which conflicts with ours.
    QProcess holder;
    holder.start(QStringLiteral("/usr/bin/python3"),
                 { QStringLiteral("-c"),
                   QStringLiteral("import fcntl,sys,time\n"
                                  "f=open(sys.argv[1],'a+')\n"
                                  "fcntl.lockf(f,fcntl.LOCK_EX)\n"
                                  "print('locked',flush=True)\n"
                                  "time.sleep(30)\n"),
                   path });
    QVERIFY(holder.waitForReadyRead(10000));
    QtLockedFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(!file.lock(QtLockedFile::WriteLock, false));
    holder.kill();
    holder.waitForFinished();
    QVERIFY(file.lock(QtLockedFile::WriteLock, false));
}

QTEST_GUILESS_MAIN(TestLockedFile)
#include "tst_lockedfile.moc"
