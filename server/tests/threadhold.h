#pragma once

#include <QMetaObject>
#include <QObject>
#include <QSemaphore>

#include <memory>

// Holds an object's thread busy, so that the object outlives what the test does meanwhile (a
// stop of its module, say); the thread goes on at release() or at the hold's end.
class ThreadHold
{
public:
    explicit ThreadHold(QObject *object)
    {
        QMetaObject::invokeMethod(
            object,
            [state = m_State] {
                state->busy.release();
                state->hold.acquire();
            },
            Qt::QueuedConnection);
    }
    ~ThreadHold() { release(); }
    ThreadHold(const ThreadHold &) = delete;
    ThreadHold &operator=(const ThreadHold &) = delete;

    // Whether the thread is held, waiting up to timeoutMs for it to be.
    bool held(int timeoutMs = 30000) { return m_State->busy.tryAcquire(1, timeoutMs); }
    void release()
    {
        if (!m_Released) {
            m_Released = true;
            m_State->hold.release();
        }
    }

private:
    struct State
    {
        QSemaphore busy;
        QSemaphore hold;
    };
    std::shared_ptr<State> m_State = std::make_shared<State>();
    bool m_Released = false;
};
