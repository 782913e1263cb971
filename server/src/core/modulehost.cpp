#include "core/modulehost.h"

#include "core/settingstext.h"

#include <QObject>

ModuleHost *hostOf(const QObject *module)
{
    return module ? dynamic_cast<ModuleHost *>(module->parent()) : nullptr;
}

QVariant moduleSetting(const QObject *module, const QString &group, const QString &key,
                       const QVariant &defaultValue)
{
    const ModuleHost *host = hostOf(module);
    if (!host)
        return defaultValue;
    const QVariant value = host->value(group, key, defaultValue);
    return value.type() == QVariant::StringList ? QVariant(settingsText(value)) : value;
}

void writeModuleDefaults(const QObject *module, const QString &group,
                         std::initializer_list<SettingDefault> defaults)
{
    ModuleHost *host = hostOf(module);
    if (!host)
        return;
    for (const SettingDefault &entry : defaults)
        host->setDefaultValue(group, QLatin1String(entry.key), QLatin1String(entry.value));
}
