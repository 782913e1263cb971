#pragma once

// The main of every Qt Test suite: QTest's own run, with a message handler above QTest's that
// fails the running test on Qt's warnings about an object used from a thread it does not live
// in. Such a warning means a timer that never runs or a socket nobody serves: a fault.

#include <QCoreApplication>
#include <QObject>
#include <QTest>

namespace testkit {

// Whether a Qt message is one of those warnings.
bool isThreadingWarning(const QString &message);
// Runs the suite as QTest::qExec does; a threading warning fails the test it came in.
int runSuite(QObject *suite, int argc, char **argv);

} // namespace testkit

#define TARNHALL_TEST_MAIN(TestObject)                                                             \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        QTest::Internal::callInitMain<TestObject>();                                               \
        QCoreApplication app(argc, argv);                                                          \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return testkit::runSuite(&tc, argc, argv);                                                 \
    }

#define TARNHALL_TEST_APPLESS_MAIN(TestObject)                                                     \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return testkit::runSuite(&tc, argc, argv);                                                 \
    }
