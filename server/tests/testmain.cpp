#include "testmain.h"

#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace {

QtMessageHandler g_qtestHandler = nullptr;
Qt::HANDLE g_mainThread = nullptr;
bool g_running = false;
// Set once a warning came after the suite's end (its objects being destroyed).
bool g_late = false;
QMutex g_mutex;
// Warnings that came while no test function ran: they fail the run at its end.
QStringList g_unattributed;

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (g_qtestHandler)
        g_qtestHandler(type, context, message);
    if (type != QtWarningMsg || !testkit::isThreadingWarning(message))
        return;
    const bool main = QThread::currentThreadId() == g_mainThread;
    const QString text
        = QStringLiteral("Qt threading warning%1: %2")
              .arg(main ? QString() : QStringLiteral(" (from another thread)"), message);
    // QTest's own handler logs from any thread as well; the lock keeps ours one at a time.
    QMutexLocker lock(&g_mutex);
    if (g_running && QTest::currentTestFunction()) {
        QTest::qFail(qPrintable(text), context.file ? context.file : "", context.line);
        return;
    }
    if (g_running) {
        g_unattributed << text;
        return;
    }
    std::fprintf(stderr, "FAIL!  : %s\n", qPrintable(text));
    g_late = true;
}

void failLate()
{
    if (g_late)
        std::_Exit(1);
}

} // namespace

bool testkit::isThreadingWarning(const QString &message)
{
    static const QRegularExpression pattern(
        QStringLiteral("(another|different) thread|not the object's thread"
                       "|threads started with QThread"));
    return pattern.match(message).hasMatch();
}

int testkit::runSuite(QObject *suite, int argc, char **argv)
{
    QTest::qInit(suite, argc, argv);
    // Above QTest's handler, which qInit installs: it keeps logging every message.
    g_mainThread = QThread::currentThreadId();
    g_qtestHandler = qInstallMessageHandler(handler);
    g_running = true;
    int failures = QTest::qRun();
    {
        QMutexLocker lock(&g_mutex);
        g_running = false;
        for (const QString &text : qAsConst(g_unattributed))
            std::fprintf(stderr, "FAIL!  : %s\n", qPrintable(text));
        if (!g_unattributed.isEmpty())
            failures = qMax(failures, 1);
    }
    QTest::qCleanup();
    // Still watching while the suite's objects go: a warning then fails the process at exit.
    g_qtestHandler = qInstallMessageHandler(handler);
    std::atexit(failLate);
    return failures;
}
