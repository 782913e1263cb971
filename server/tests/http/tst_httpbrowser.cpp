// Headless Chromium walks the web administration with live peers (browser.py, role "devices"):
// a simulated door panel registered with the door-device module calls a baresip phone
// registered with the SIP module through its button; the admin works the door-device, status
// and administration pages, and the plain user anna finds the administration closed.
#include "../toolkit.h"
#include "conversation/conversationthread.h"
#include "core/env.h"
#include "httpfixture.h"
#include "sip/sip.h"
#include "sip/sipuser.h"
#include "testmain.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velklisteningport.h"
#include "velkpanel.h"

#include <QTemporaryDir>
#include <QtTest>

class TestHttpBrowser : public QObject
{
    Q_OBJECT
private slots:
    void pagesWithLivePeers();
};

void TestHttpBrowser::pagesWithLivePeers()
{
    const QString baresip = QStringLiteral("/usr/bin/baresip");
    if (!QFile::exists(QStringLiteral("/usr/bin/chromium")) || !QFile::exists(baresip))
        QSKIP("chromium or baresip is not installed");

    Env::initApplication(qPrintable(QCoreApplication::applicationFilePath()));
    QFile::remove(Env::textLogPath());
    QFile::remove(Env::configFilePath("velk-devices"));
    QSettings users(Env::configFilePath("sip-users"), QSettings::IniFormat);
    users.setIniCodec("UTF-8");
    users.clear();
    HttpFixture::write(users,
                       { { "alice/type-user", 1 },
                         { "alice/sip-standalone-login", "alice" },
                         { "alice/sip-standalone-password", "pw-alice" },
                         { "alice/display-name", "Алиса <a>" },
                         { "door/type-user", 0 },
                         { "door/velk-device-id", 7 } });
    HttpFixture fixture;
    TestHost &host = fixture.host();
    const quint16 sipPort = HttpFixture::freeSipPort();
    HttpFixture::write(host.settings(),
                       { { "sip/standalone-bind-address", "127.0.0.1" },
                         { "sip/standalone-bind-port", sipPort },
                         { "velk/bind-address", "127.0.0.1" },
                         { "velk/bind-port", 0 } });
    auto *sip = new Sip(&host);
    auto *velk = new Velk(&host);
    // Registered long enough for the whole walk, with only the reports the test sends.
    HttpFixture::write(velk->devicesFile(),
                       { { "7/description", "Ворота <b>" },
                         { "7/button-account", "door" },
                         { "7/button-call-rule", "alice" },
                         { "7/button-press-event", 2 },
                         { "7/register-timeout", 255 } });
    velk->setSipServices(sip);
    velk->allowPlaceholderFirmware(); // the simulated panel takes any image
    QVERIFY(fixture.start());
    sip->start();
    velk->start();
    const quint16 velkPort = velkListeningPort(velk, 30000);
    QVERIFY(velkPort != 0);
    // What the settings page shows and saves, and a restart binds again.
    HttpFixture::write(host.settings(), { { "velk/bind-port", velkPort } });

    VelkPanel panel({ 7, QString(), 2, 1, 0, 0 });
    QSignalSpy requests(&panel, &VelkPanel::requestReceived);
    QVERIFY(panel.start(QHostAddress(QHostAddress::LocalHost), velkPort, 0));
    panel.sendReport();
    QTRY_VERIFY_WITH_TIMEOUT(velk->findDevice(7) && velk->findDevice(7)->isRegistered(), 30000);

    // The phone's ports are of its own choosing: given one, baresip also listens for TLS on the
    // next, which nobody reserved, and ends when that one is taken.
    QTemporaryDir phoneDir;
    QVERIFY(writeFile(phoneDir.filePath("config"),
                      "poll_method epoll\nnet_interface 127.0.0.1\nsip_listen 127.0.0.1:0\n"
                      "audio_player alsa,null\naudio_source ausine,440\nausrc_srate 48000\n"
                      "ausrc_channels 2\nauplay_srate 48000\nauplay_channels 2\n"
                      "module_path /usr/lib/baresip/modules\nmodule g711.so\n"
                      "module ausine.so\nmodule alsa.so\nmodule_app account.so\n"
                      "module_app menu.so\n"));
    QVERIFY(writeFile(phoneDir.filePath("accounts"),
                      QStringLiteral("<sip:alice@127.0.0.1:%1>;auth_pass=pw-alice;regint=600;"
                                     "answermode=auto;audio_codecs=PCMA,PCMU\n")
                          .arg(sipPort)
                          .toUtf8()));
    QProcess phone;
    phone.setProcessChannelMode(QProcess::MergedChannels);
    phone.start(baresip, { "-f", phoneDir.path() });
    auto aliceRegistered = [sip] {
        const SipUser *alice = sip->findUser("alice");
        return alice && alice->isRegistered();
    };
    QTRY_VERIFY2_WITH_TIMEOUT(aliceRegistered(), phone.readAll().constData(), 60000);

    // The door's button calls alice, who answers at once; the call lasts until the browser
    // ends it from the status page.
    QSignalSpy answered(&panel, &VelkPanel::answered);
    panel.queueEvents(0, 1, 0, 0);
    panel.sendReport();
    QVERIFY(answered.wait(30000));
    panel.queueEvents(0, 2, 0, 0);
    panel.sendReport();
    QTRY_COMPARE_WITH_TIMEOUT(velk->findDevice(7)->state(), int(VelkDevice::OutgoingCall), 30000);
    QCOMPARE(host.findChildren<ConversationThread *>().size(), 1);

    QProcess browser;
    browser.setProcessChannelMode(QProcess::MergedChannels);
    browser.start("/usr/bin/python3",
                  { QFINDTESTDATA("browser.py"), QString::number(fixture.port()), "devices" });
    // The modules answer from this thread's event loop while the browser works.
    QTRY_COMPARE_WITH_TIMEOUT(browser.state(), QProcess::NotRunning, 300000);
    const QByteArray output = browser.readAll();
    phone.terminate();
    if (!phone.waitForFinished(10000))
        phone.kill();
    QVERIFY2(browser.exitStatus() == QProcess::NormalExit && browser.exitCode() == 0,
             output.right(900).constData());

    // The forms' values are read back by the browser; the restart, the boot loader request
    // that starts the upload and what the files keep are seen here.
    QCOMPARE(host.restarts, 1);
    QVERIFY(std::any_of(requests.cbegin(), requests.cend(),
                        [](const QList<QVariant> &args) { return args.value(0).toInt() == 7; }));
    QVERIFY(host.findChildren<ConversationThread *>().isEmpty());
    QSettings admins(HttpFixture::usersFile(), QSettings::IniFormat);
    admins.setIniCodec("UTF-8");
    QCOMPARE(admins.value("bob/password").toString(), QStringLiteral("q\"uo'te<&>"));
    QCOMPARE(admins.value("bob/display-name").toString(), QStringLiteral("Боб <b>"));
    QCOMPARE(host.settings().value("admin/expires").toString(), QStringLiteral("700"));
    QCOMPARE(host.settings().value("admin/log-protocol").toString(), QStringLiteral("false"));

    velk->stop();
    sip->stop();
    QVERIFY(velk->waitSeconds(16));
    QVERIFY(sip->waitSeconds(16));
}

TARNHALL_TEST_MAIN(TestHttpBrowser)
#include "tst_httpbrowser.moc"
