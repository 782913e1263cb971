// A standalone SIP server for tests with real phones: the Sip module alone, on the address and
// port given, with the test accounts; it runs until it is terminated.
#include "localserverfixture.h"

#include "core/env.h"
#include "sip/sip.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

namespace {

int g_Pipe[2];

void onSignal(int)
{
    const char byte = 1;
    (void)!write(g_Pipe[1], &byte, 1);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Env::initApplication(argv[0]);
    if (argc < 3)
        return 2;
    LocalHost host;
    writeLocalServerSettings(host, argv[1], quint16(QString(argv[2]).toUInt()));
    host.file.setValue("sip/log-sip", argc > 3);
    Sip sip(&host);
    sip.start();
    // SIGTERM ends the event loop through a pipe, so the module stops as in the service.
    if (pipe(g_Pipe) != 0)
        return 1;
    std::signal(SIGTERM, onSignal);
    QSocketNotifier notifier(g_Pipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    const int code = app.exec();
    sip.stop();
    sip.waitSeconds(5);
    return code;
}
