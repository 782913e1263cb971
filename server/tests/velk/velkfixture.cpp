#include "velkfixture.h"

#include "core/env.h"
#include "core/timescale.h"
#include "velk/velk.h"
#include "velkpanel.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

void VelkFixture::init()
{
    TimeScale::setFactor(20);
    QFile::remove(Env::configFilePath("velk-devices"));
    host = new VelkTestHost;
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    port = probe.localPort();
    host->values["velk/bind-address"] = "127.0.0.1";
    host->values["velk/bind-port"] = port;
    requests.clear();
    m_LogStart = QFileInfo(Env::textLogPath()).size();
}

bool VelkFixture::cleanup()
{
    bool ended = true;
    if (velk) {
        velk->stop();
        ended = velk->waitSeconds(30);
    }
    delete host; // with the module, its devices and their audio threads
    host = nullptr;
    velk = nullptr;
    return ended;
}

void VelkFixture::writeDevice(quint16 number, const QVariantMap &props)
{
    QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
    devices.beginGroup(QString::number(number));
    devices.setValue("device-password", "pw12");
    for (auto it = props.cbegin(); it != props.cend(); ++it)
        devices.setValue(it.key(), it.value());
    devices.endGroup();
}

bool VelkFixture::startModule()
{
    velk = new Velk(host);
    velk->setSipServices(host);
    velk->start();
    return QTest::qWaitFor([this] { return velk->connectionState() == VelkListening; }, 20000);
}

VelkPanel *VelkFixture::panel(quint16 number, int *result, const QString &password, quint8 codec,
                              bool sensor1)
{
    auto *p = new VelkPanel({ number, password, 2, 1, 0, codec }, velk);
    QObject::connect(p, &VelkPanel::protocolError, [](const QString &e) { QFAIL(qPrintable(e)); });
    QObject::connect(p, &VelkPanel::requestReceived, [this](int command) { requests << command; });
    p->setInputs(false, sensor1, false);
    QSignalSpy answered(p, &VelkPanel::answered);
    p->start(QHostAddress(QHostAddress::LocalHost), port, 0);
    *result = answered.wait(20000) ? answered.first().first().toInt() : -1;
    return p;
}

int VelkFixture::report(VelkPanel *p)
{
    QSignalSpy answered(p, &VelkPanel::answered);
    p->sendReport();
    return answered.wait(20000) ? answered.first().first().toInt() : -1;
}

QString VelkFixture::log() const
{
    QFile file(Env::textLogPath());
    if (!file.open(QIODevice::ReadOnly) || !file.seek(m_LogStart))
        return {};
    return QString::fromUtf8(file.readAll());
}

QString VelkFixture::dataFile(const QString &name)
{
    return qEnvironmentVariable("TARNHALL_SOURCE_DIR") + "/server/tests/velk/data/" + name;
}

bool VelkFixture::portInUse(quint16 port)
{
    QUdpSocket probe;
    return port != 0
        && !probe.bind(QHostAddress(QHostAddress::LocalHost), port, QUdpSocket::DontShareAddress);
}
