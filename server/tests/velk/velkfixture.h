#pragma once

#include "core/modulehost.h"
#include "core/qsmdraction.h"
#include "velk/velksipservices.h"

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

class Velk;
class VelkPanel;

// The module's owner: the main settings in memory and the SMDR records it was handed, and the
// SIP side's view of the registrations.
class VelkTestHost : public QObject, public ModuleHost, public VelkSipServices
{
    Q_OBJECT
public:
    void setValue(const QString &g, const QString &k, const QVariant &v) override
    {
        values[g + '/' + k] = v;
    }
    void setDefaultValue(const QString &g, const QString &k, const QVariant &v) override
    {
        if (!values.contains(g + '/' + k))
            setValue(g, k, v);
    }
    QVariant value(const QString &g, const QString &k, const QVariant &d) const override
    {
        return values.value(g + '/' + k, d);
    }
    bool restartSipAndVelk() override { return false; }
    bool isStopping() const override { return false; }
    void isDeviceRegisteredChanged(int, bool state) override { registered << state; }
    void isDeviceBusyChanged(int, bool) override { }
    void resultSipInfo(const QString &, const QString &, int, const QString &, int) override { }
    void callIntercepted(const QString &, const QString &, const QString &) override { }
    bool isStandaloneEngine() const override { return true; }
    int deviceCall(const QString &, const QString &, QString &) override { return -2; }
    int deviceCallList(const QString &, const QString &, const QString &) override { return -1; }
    bool deviceRespond(const QString &, const QString &, const QString &, const QString &,
                       int) override
    {
        return false;
    }
    bool deviceAcceptCaller(const QString &, const QString &, const QString &, const QString &,
                            int) override
    {
        return false;
    }
    void deviceHangup(const QString &, const QString &) override { }
    void deviceReject(const QString &, const QString &, const QString &, const QString &) override
    {
    }
    void deviceDtmf(int, const QString &, const QString &, uchar, uint) override { }

    QHash<QString, QVariant> values;
    QList<QStringList> smdr; // source, destination, action
    QList<bool> registered;

public slots:
    void smdrLog(const QDateTime &, const QString &src, const QString &dest, const qlonglong &,
                 const QSmdrAction::Type &action, const QString &)
    {
        smdr << QStringList { src, dest, QSmdrAction::code(action) };
    }
};

// The door-device module on loopback with devices from a fresh "velk-devices", and panels
// reporting to it.
class VelkFixture
{
public:
    void init();
    // Stops the module and deletes it with its devices; false when its thread would not end.
    bool cleanup();
    void writeDevice(quint16 number, const QVariantMap &props);
    bool startModule();
    // A panel that has sent its first report; result is its answer's, -1 without one.
    VelkPanel *panel(quint16 number, int *result, const QString &password = "pw12",
                     quint8 codec = 0, bool sensor1 = false);
    // Sends a report and waits for its answer; the result, or -1 without one.
    static int report(VelkPanel *p);
    QString log() const;
    static QString dataFile(const QString &name);
    static bool portInUse(quint16 port);

    VelkTestHost *host = nullptr;
    Velk *velk = nullptr;
    quint16 port = 0;
    QList<int> requests; // commands the panels received

private:
    qint64 m_LogStart = 0;
};
