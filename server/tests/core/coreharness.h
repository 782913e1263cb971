#pragma once

#include <QString>

#include <functional>

class Core;
class CoreThread;

// Runs a real Core with its modules in its core thread, as the service does.
class CoreHarness
{
public:
    CoreHarness();
    ~CoreHarness();

    void start();
    bool startAndWaitForModules();
    Core *core() const { return m_core; }

    // Runs fn in the core thread and returns once it has run.
    void inCoreThread(const std::function<void()> &fn);
    qint64 runningThreads();

    // Asks for the ordered stop and waits for Core to be gone.
    bool stopAndWait(int ms = 120000);
    bool isEnded() const { return m_ended; }

    static QString textLog();
    static int logCount(const QString &text);

private:
    CoreThread *m_thread = nullptr;
    Core *m_core = nullptr;
    bool m_ended = false;
};
