#include "common/sound/sound_wav/soundregistry.h"

#include "common/sound/sound_wav/soundwav.h"

#include <QMutexLocker>

SoundRegistry &SoundRegistry::instance()
{
    // Never destroyed: audio threads may still look sounds up while the process exits.
    static SoundRegistry *registry = new SoundRegistry;
    return *registry;
}

SoundRegistry::Pointer SoundRegistry::find(const int &id)
{
    SoundRegistry &registry = instance();
    QMutexLocker locker(&registry.m_Lock);
    return registry.m_Table.value(id);
}

void SoundRegistry::store(const int &id, const Pointer &sound)
{
    SoundRegistry &registry = instance();
    // Declared before the locker: a replaced sound is freed after the table is unlocked.
    Pointer previous;
    QMutexLocker locker(&registry.m_Lock);
    previous = registry.m_Table.value(id);
    registry.m_Table.insert(id, sound);
}

int SoundRegistry::add(const Pointer &sound)
{
    SoundRegistry &registry = instance();
    QMutexLocker locker(&registry.m_Lock);
    const int id = registry.m_NextId++;
    registry.m_Table.insert(id, sound);
    return id;
}

SoundRegistry::Pointer SoundRegistry::take(const int &id)
{
    SoundRegistry &registry = instance();
    QMutexLocker locker(&registry.m_Lock);
    return registry.m_Table.take(id);
}
