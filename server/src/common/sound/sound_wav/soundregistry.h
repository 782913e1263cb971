#pragma once

#include <QMap>
#include <QMutex>
#include <QSharedPointer>

class SoundWAV;

// The process-wide table behind SoundWAV's operations by id. Lookups hand out a shared
// reference: a sound removed while another thread reads it is freed after that read.
class SoundRegistry
{
public:
    using Pointer = QSharedPointer<SoundWAV>;
    static constexpr int FirstRuntimeId = 1000000;

    static Pointer find(const int &id);
    // Stores under a fixed id (the prompts), replacing what the id held.
    static void store(const int &id, const Pointer &sound);
    // Stores under the next run-time id and returns it.
    static int add(const Pointer &sound);
    static Pointer take(const int &id);

private:
    static SoundRegistry &instance();

    QMutex m_Lock;
    QMap<int, Pointer> m_Table;
    int m_NextId = FirstRuntimeId;
};
