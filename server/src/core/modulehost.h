#pragma once

#include <QString>
#include <QVariant>

#include <functional>
#include <initializer_list>

class QObject;

// One key of a module's settings group with its default text.
struct SettingDefault
{
    const char *key;
    const char *value;
};

// What a module may ask of the object that owns it (Core), without linking against it: its
// group of the main settings, and the restart of the SIP and door-device modules.
class ModuleHost
{
public:
    virtual ~ModuleHost() = default;

    virtual void setValue(const QString &group, const QString &key, const QVariant &value) = 0;
    virtual void setDefaultValue(const QString &group, const QString &key, const QVariant &value)
        = 0;
    virtual QVariant value(const QString &group, const QString &key,
                           const QVariant &defaultValue) const = 0;
    // Writes what was set to the file now; false when it could not be written.
    virtual bool syncSettings() { return true; }

    // Stops Sip and Velk, waits for each, starts again those that ended in time.
    virtual bool restartSipAndVelk() = 0;
    // The same for a request handler: done gets the result once a restart begun after this call
    // has ended. The call may return before that, and never restarts inside a restart.
    virtual void restartSipAndVelkThen(const std::function<void(bool)> &done)
    {
        done(restartSipAndVelk());
    }
    // The web module's restart after a saved web setting, once the answers its worker holds
    // have left; never inside another restart.
    virtual void restartWebAfterAnswers() { }
    // True once the stop sequence has begun; nothing may start a module after that.
    virtual bool isStopping() const = 0;

protected:
    ModuleHost() = default;
    ModuleHost(const ModuleHost &) = default;
    ModuleHost &operator=(const ModuleHost &) = default;
};

// The host a module belongs to (its parent), or null.
ModuleHost *hostOf(const QObject *module);

// A module's reading of one key of its group; the default when it has no host.
QVariant moduleSetting(const QObject *module, const QString &group, const QString &key,
                       const QVariant &defaultValue);
// Writes those of the defaults that the module's group lacks.
void writeModuleDefaults(const QObject *module, const QString &group,
                         std::initializer_list<SettingDefault> defaults);
