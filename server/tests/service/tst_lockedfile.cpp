// The pid file's lock: exclusive between holders in one process too, released with the file.
// A second service process is refused by it in tst_service.
#include "service/qtservice/qtlockedfile.h"

#include <QTemporaryDir>
#include <QtTest>

class TestLockedFile : public QObject
{
    Q_OBJECT

private slots:
    void writeLockExcludesOtherHolders();
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

QTEST_GUILESS_MAIN(TestLockedFile)
#include "tst_lockedfile.moc"
