#pragma once

#include "core/env.h"
#include "core/modulehost.h"
#include "core/qsmdraction.h"
#include "core/timescale.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velk/velksipservices.h"
#include "velklisteningport.h"
#include "velkpanel.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

// The module's owner: the main settings in memory and the SMDR records it was handed, and the
// SIP side's view of the registrations.
class VelkTestHost : public QObject, public ModuleHost, public VelkSipServices
{
    Q_OBJECT
public:
    using S = const QString &;
    void setValue(S g, S k, const QVariant &v) override { values[g + '/' + k] = v; }
    void setDefaultValue(S g, S k, const QVariant &v) override
    {
        values.insert(g + '/' + k, values.value(g + '/' + k, v));
    }
    QVariant value(S g, S k, const QVariant &d) const override
    {
        return values.value(g + '/' + k, d);
    }
    bool restartSipAndVelk() override { return false; }
    bool isStopping() const override { return false; }
    void isDeviceRegisteredChanged(int, bool state) override { registered << state; }
    void isDeviceBusyChanged(int, bool) override { }
    void resultSipInfo(S, S, int, S, int) override { }
    void callIntercepted(S, S, S) override { }
    bool isStandaloneEngine() const override { return true; }
    int deviceCall(VelkDevice *, S, S, QString &) override { return -2; }
    int deviceCallList(VelkDevice *, S, S, S) override { return -1; }
    bool deviceRespond(S, S, S, S, int) override { return answers; }
    bool deviceAcceptCaller(S, S, S, S, int) override { return false; }
    void deviceHangup(S, S) override { }
    void deviceReject(S, S, S, S) override { }
    void deviceDtmf(int, S, S, uchar, uint) override { }

    QHash<QString, QVariant> values;
    QStringList smdr; // "source destination action"
    QList<bool> registered;
    bool answers = false; // whether answering a call offered to a device succeeds

public slots:
    // Spelled out: the module connects it by its signature text.
    void smdrLog(const QDateTime &, const QString &src, const QString &dest, const qlonglong &,
                 const QSmdrAction::Type &action, const QString &)
    {
        smdr << QStringList { src, dest, QSmdrAction::code(action) }.join(' ');
    }
};

// The door-device module on loopback with devices from a fresh "velk-devices", and panels
// reporting to it: the base of the module's test cases.
class VelkFixture : public QObject
{
    Q_OBJECT
public:
    void writeDevice(quint16 number, const QVariantMap &props)
    {
        QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
        devices.setValue(QString("%1/device-password").arg(number), "pw12");
        for (auto it = props.cbegin(); it != props.cend(); ++it)
            devices.setValue(QString("%1/%2").arg(number).arg(it.key()), it.value());
    }
    bool startModule()
    {
        velk = new Velk(host);
        velk->setSipServices(host);
        velk->allowPlaceholderFirmware(); // the simulated panels take any image
        velk->start();
        port = velkListeningPort(velk);
        // A restart of the module binds the same port again, where its panels report.
        host->values["velk/bind-port"] = port;
        return port != 0;
    }
    // A panel that has sent its first report; answer is the answer's result, -1 without one.
    VelkPanel *panel(quint16 number, const QString &password = "pw12", quint8 codec = 0,
                     bool sensor1 = false, quint8 hardware = 2)
    {
        auto *p = new VelkPanel({ number, password, hardware, 1, 0, codec }, velk);
        connect(p, &VelkPanel::protocolError, [](const QString &e) { QFAIL(qPrintable(e)); });
        connect(p, &VelkPanel::requestReceived, [this](int command, quint32, int seen, int data) {
            if (seen == 1) // resends come of a loaded machine, not of the server's choice
                requests << qMakePair(command, data);
        });
        p->holdSensor1(sensor1);
        QSignalSpy answered(p, &VelkPanel::answered);
        p->start(QHostAddress(QHostAddress::LocalHost), port, 0);
        answer = answered.wait(20000) ? answered.first().first().toInt() : -1;
        return p;
    }
    // Device 7 from props, registered by a panel; null, with a warning saying which step
    // failed, when it is not: a rare failure under load must tell which it was.
    VelkPanel *registered(const QVariantMap &props, quint8 codec = 0, bool sensor1 = false,
                          quint8 hardware = 2)
    {
        writeDevice(7, props);
        if (!startModule()) {
            qWarning("module not listening on port %u", unsigned(port));
            return nullptr;
        }
        VelkPanel *p = panel(7, "pw12", codec, sensor1, hardware);
        device = velk->findDevice(7);
        if (answer != 0 || !device)
            qWarning("registration answered %d", answer);
        return answer == 0 && device ? p : nullptr;
    }
    // Sends a report and waits for its answer; the result, or -1 without one.
    static int report(VelkPanel *p)
    {
        QSignalSpy answered(p, &VelkPanel::answered);
        p->sendReport();
        return answered.wait(20000) ? answered.first().first().toInt() : -1;
    }
    QString log() const
    {
        QFile file(Env::textLogPath());
        return file.open(QIODevice::ReadOnly) && file.seek(m_LogStart)
            ? QString::fromUtf8(file.readAll())
            : QString();
    }
    static QString dataFile(const QString &name)
    {
        return qEnvironmentVariable("TARNHALL_SOURCE_DIR") + "/server/tests/velk/data/" + name;
    }
    static bool portInUse(quint16 port)
    {
        return port != 0
            && !QUdpSocket().bind(QHostAddress::LocalHost, port, QUdpSocket::DontShareAddress);
    }

    VelkTestHost *host = nullptr;
    Velk *velk = nullptr;
    VelkDevice *device = nullptr; // of registered()
    quint16 port = 0;
    int answer = -1; // to the last panel's first report
    QList<QPair<int, int>> requests; // commands the panels received, with their byte 21

protected slots:
    void initTestCase()
    {
        Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    }
    void init()
    {
        TimeScale::setFactor(20);
        QFile::remove(Env::configFilePath("velk-devices"));
        host = new VelkTestHost;
        port = 0;
        host->values["velk/bind-address"] = "127.0.0.1";
        host->values["velk/bind-port"] = 0;
        requests.clear();
        m_LogStart = QFileInfo(Env::textLogPath()).size();
    }
    // Stops the module and deletes it with its devices and their audio threads.
    void cleanup()
    {
        bool ended = true;
        if (velk) {
            velk->stop();
            ended = velk->waitSeconds(30);
        }
        delete host;
        host = nullptr;
        velk = nullptr;
        device = nullptr;
        QVERIFY2(ended, "the module's thread did not end");
    }

private:
    qint64 m_LogStart = 0;
};
