// The door side and the local SIP server together, for tests with real phones: the Sip and
// Velk modules on the address and port given, one simulated door panel (device 1, account
// "door") streaming a tone, driven by lines on stdin and reporting on stdout, until its stdin
// ends.
#include "localserverfixture.h"

#include "common/sound/sound_wav/soundwav.h"
#include "core/attendedthread.h"
#include "core/env.h"
#include "core/qsmdraction.h"
#include "sip/sip.h"
#include "sip/sipuser.h"
#include "velk/velk.h"
#include "velk/velkdevice.h"
#include "velklisteningport.h"
#include "velkpanel.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>
#include <utility>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

class DoorHost : public LocalHost
{
    Q_OBJECT
public slots:
    void cameraDescribed(uchar codec) { say(QStringLiteral("camera %1").arg(codec)); }
    void smdrLog(QDateTime, QString src, QString dest, qlonglong duration, QSmdrAction::Type action,
                 QString)
    {
        say(QStringLiteral("smdr %1 %2 %3 %4")
                .arg(QSmdrAction::code(action), src, dest)
                .arg(duration));
    }
};

// Settings given as "group/key=value" words.
void setAll(QSettings &settings, const QString &words)
{
    for (const QString &word : words.split(' ', Qt::SkipEmptyParts))
        settings.setValue(word.section('=', 0, 0), word.section('=', 1));
}

// The outside server at address and port instead of the local server: the door's accounts
// register there (a control and a paging one beside them).
void writeGatewaySettings(LocalHost &host, QSettings &users, const QString &address,
                          const QString &port)
{
    // Typed: the module reads these through the host, not from the file.
    host.file.setValue("sip/standalone", false);
    host.file.setValue("sip/server-address", address);
    host.file.setValue("sip/server-port", port);
    host.file.setValue("sip/server-transport", "UDP");
    host.file.setValue("sip/server-bind-random", true);
    users.setValue("door-page/velk-wiretapping", "paging");
    for (const char *name : { "door", "door-ring", "door-tap", "door-ctl", "door-page" }) {
        users.setValue(QString("%1/type-user").arg(name), 0);
        users.setValue(QString("%1/velk-device-id").arg(name), 1);
        users.setValue(QString("%1/sip-server-login").arg(name), "door-login");
        users.setValue(QString("%1/sip-server-password").arg(name), "door-secret");
    }
    users.setValue("group/group-list", "door-page");
    users.setValue("group/sip-server-login", "group-login");
    users.setValue("group/sip-server-password", QString::fromUtf8("gr\xc3\xbcn"));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Env::initApplication(argv[0]);
    if (argc < 3)
        return 2;
    DoorHost host;
    writeLocalServerSettings(host, argv[1], quint16(QString(argv[2]).toUInt()));
    if (argc < 5) { // Address and port alone: the local server by itself (registrar benchmark).
        Sip sip(&host);
        sip.start();
        return app.exec();
    }
    host.file.setValue("sip/log-sip", true);
    host.file.setValue("velk/bind-address", "127.0.0.1");
    host.file.setValue("velk/bind-port", 0);
    QSettings users(Env::configFilePath("sip-users"), QSettings::IniFormat);
    // Door 1 under four accounts: answering at once, ringing until its button answers, listening
    // in, and keyed by the phone without speech; door 2 is a keypad.
    setAll(users,
           "door/type-user=0 door/velk-device-id=1 door-ring/type-user=0 "
           "door-ring/velk-device-id=1 door-ring/velk-autoanswer=false "
           "door-tap/type-user=0 door-tap/velk-device-id=1 door-tap/velk-wiretapping=true "
           "door-ctl/type-user=0 door-ctl/velk-device-id=1 "
           "door-ctl/velk-wiretapping=control keypad/type-user=0 keypad/velk-device-id=2 "
           "keypad/velk-wiretapping=paging group/group-list=alice,bob "
           "paging/type-user=2 paging/group-list=keypad");
    if (qEnvironmentVariableIsSet("TARNHALL_GATEWAY"))
        writeGatewaySettings(host, users, argv[1], argv[2]);
    users.sync();
    QSettings devices(Env::configFilePath("velk-devices"), QSettings::IniFormat);
    devices.clear();
    // Only '#' ends a number in time on the keypad: the tests see that it does.
    setAll(devices,
           "1/device-password=pw12 1/button-account=door 1/button-press-event=2 "
           "1/sensor1-account=door 1/sensor1-call-rule=bob 1/sensor1-press-event=2 "
           "2/device-password=pw12 2/button-account=keypad 2/dpm-mode=1 "
           "2/dpm-mode-list-code=12>alice;13>bob 2/dpm-timeout-key=60");
    devices.setValue("1/button-call-rule", QString(argv[3]));
    devices.sync();

    Sip sip(&host);
    Velk velk(&host);
    velk.setSipServices(&sip);
    sip.start();
    velk.start();
    const quint16 velkPort = velkListeningPort(&velk);
    if (velkPort == 0) {
        say("door module not listening");
        velk.stop();
        sip.stop();
        velk.waitSeconds(20);
        sip.waitSeconds(20);
        return 1;
    }

    bool ok = false;
    const QByteArray tone = SoundWAV::loadWav(QString(argv[4]), 0, &ok);
    VelkPanel panel({ 1, "pw12", 2, 1, 0, 0 });
    VelkPanel keypad({ 2, "pw12", 5, 1, 0, 0 });
    bool first = true;
    QPointer<VelkDevice> watched;
    QObject::connect(&panel, &VelkPanel::answered, [&](int result, quint16) {
        if (result != 0)
            return;
        if (first)
            panel.startAudio(tone);
        // Whether the door takes a call: the tests dial it again only once it is free. A restart
        // of the modules makes the device anew.
        VelkDevice *device = velk.findDevice(1);
        if (device && device != watched) {
            watched = device;
            QObject::connect(device, &VelkDevice::isBusyChanged, &app,
                             [busy = false](int, bool state, const QString &) mutable {
                                 if (state != busy)
                                     say((busy = state) ? "door busy" : "door free");
                             });
        }
        if (std::exchange(first, false))
            say("registered");
    });
    // Door 1's relay 1 and the keypad's call, told when a state command turns them.
    const auto watch = [](VelkPanel &device, int bit, const QString &name) {
        QObject::connect(&device, &VelkPanel::applied,
                         [&device, bit, name, was = false](int command) mutable {
                             const bool on = device.stateBits() & bit;
                             if (command == 6 && on != was)
                                 say(name + ((was = on) ? " on" : " off"));
                         });
    };
    watch(panel, 0x08, "relay1");
    watch(keypad, 0x01, "keypad call");
    QTimer::singleShot(500, [&] {
        panel.start(QHostAddress(QHostAddress::LocalHost), velkPort, 1000);
        keypad.start(QHostAddress(QHostAddress::LocalHost), velkPort, 1000);
    });

    // "dump" answers once two seconds of audio came in since the mark, or ten seconds on.
    QString dumpPath;
    QTimer giveUp;
    giveUp.setSingleShot(true);
    const auto dump = [&](bool anyway) {
        int bytes = 0;
        for (const VelkPanel::AudioIn &in : panel.audioReceived())
            bytes += in.payload.size();
        if (dumpPath.isEmpty() || (bytes < 16000 && !anyway))
            return;
        // Closed before it is told: the test reads the file the moment it hears "dumped", and
        // QFile keeps up to 16 KiB in its buffer until then (under load the test read it
        // empty and took the door for silent).
        QFile out(std::exchange(dumpPath, QString()));
        bool written = out.open(QIODevice::WriteOnly);
        for (const VelkPanel::AudioIn &in : panel.takeAudioReceived())
            written = written && out.write(in.payload) == in.payload.size();
        out.close();
        say(written && out.error() == QFileDevice::NoError ? "dumped" : "dump failed");
    };
    QObject::connect(&panel, &VelkPanel::audioArrived, [&] { dump(false); });
    QObject::connect(&giveUp, &QTimer::timeout, [&] { dump(true); });

    // Commands: "press" (button down and up), "sensor1" (down and up), "rule CALLEES" (of the
    // button), "key N" (on the keypad), "mark" (forget the audio heard so far),
    // "dump PATH" (the audio heard since the mark, 8-bit PCM at 8 kHz), "account NAME",
    // "camera URL PASSWORD" (of the door account), "restart" (of both modules).
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    const auto run = [&](const QStringList &words) {
        if (words.value(0) == "press" || words.value(0) == "sensor1") {
            const bool button = words.value(0) == "press";
            panel.queueEvents(0, button ? 1 : 0, button ? 0 : 1, 0);
            panel.sendReport();
            panel.queueEvents(0, button ? 2 : 0, button ? 0 : 2, 0);
            QTimer::singleShot(200, [&] { panel.sendReport(); });
        } else if (words.value(0) == "rule") {
            if (QObject *device = velk.findDevice(1))
                device->setProperty("button-call-rule", words.value(1));
        } else if (words.value(0) == "key") {
            keypad.queueEvents(0, quint8(words.value(1).toUInt()), 0, 0);
            keypad.sendReport();
        } else if (words.value(0) == "mark") {
            panel.takeAudioReceived();
        } else if (words.value(0) == "dump") {
            dumpPath = words.value(1);
            giveUp.start(10000);
            dump(false);
        } else if (words.value(0) == "camera") {
            // The door account's camera at URL with its Digest password; told once described.
            SipUser *door = sip.findUser("door");
            QObject::connect(door->videoControl(), SIGNAL(setMediaParam(uchar, QString, QString)),
                             &host, SLOT(cameraDescribed(uchar)), Qt::UniqueConnection);
            door->setProperty("velk-video-enable", "true");
            door->setProperty("velk-video-path", words.value(1));
            door->setProperty("velk-video-login", "door");
            door->setProperty("velk-video-password", words.value(2));
            door->applyVideo();
        } else if (words.value(0) == "restart") {
            // As a save restarts them: the door module stops first; the panel reports to the
            // port it had.
            host.file.setValue("velk/bind-port", velkPort);
            velk.stop();
            sip.stop();
            const bool stopped = velk.waitSeconds(16) && sip.waitSeconds(16);
            sip.start();
            velk.start();
            say(stopped ? "restarted" : "restart failed");
        } else if (words.value(0) == "account") {
            const SipUser *user = sip.findUser(words.value(1));
            say(QStringLiteral("account %1 %2")
                    .arg(words.value(1), user && user->isRegistered() ? "registered" : "not"));
        }
    };
    // Unbuffered: several lines may come in one read.
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[512];
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            app.quit();
            return;
        }
        pending.append(buffer, int(n));
        for (int end; (end = pending.indexOf('\n')) >= 0; pending.remove(0, end + 1))
            run(QString::fromUtf8(pending.left(end)).trimmed().split(' '));
    });
    const int code = app.exec();
    velk.stop();
    sip.stop();
    velk.waitSeconds(5);
    sip.waitSeconds(5);
    return code;
}

#include "doorcallhost.moc"
