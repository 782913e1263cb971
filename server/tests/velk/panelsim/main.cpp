// Runs many simulated door panels against a server, for scripts and benchmarks; prints one line
// per answer, request and protocol error.
#include "velkpanel.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

// "6=never,7=late:2000,12=refuse:1" -> policies per command.
bool parsePolicies(const QString &text, QHash<int, VelkPanel::Policy> *policies)
{
    static const QStringList names
        = { "answer", "refuse", "never", "late", "after", "short", "malformed" };
    for (const QString &entry : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList commandAndReply = entry.split(QLatin1Char('='));
        const QStringList replyAndValue = commandAndReply.value(1).split(QLatin1Char(':'));
        const int reply = names.indexOf(replyAndValue.value(0));
        bool ok = false;
        const int command = commandAndReply.value(0).toInt(&ok);
        if (!ok || reply < 0)
            return false;
        policies->insert(command, { VelkPanel::Reply(reply), replyAndValue.value(1, "0").toInt() });
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription("Simulated door panels for tarnhall-server");
    parser.addHelpOption();
    const QList<QCommandLineOption> options = {
        { "server", "Server control address.", "address", "127.0.0.1" },
        { "port", "Server control port.", "port", "5757" },
        { "count", "Number of panels.", "n", "1" },
        { "first", "Number of the first panel.", "number", "1" },
        { "password", "Password of every panel.", "text", "" },
        { "hardware", "Hardware type.", "type", "1" },
        { "interval", "Report interval in ms.", "ms", "5000" },
        { "policy", "Replies per command: 6=never,7=late:2000,12=refuse:1,9=after:2 ...", "list",
          "" },
        { "seconds", "Run time in seconds (0: until killed).", "s", "0" },
    };
    parser.addOptions(options);
    parser.process(app);
    QHash<int, VelkPanel::Policy> policies;
    if (!parsePolicies(parser.value("policy"), &policies)) {
        std::fprintf(stderr, "bad --policy\n");
        return 2;
    }
    QTextStream out(stdout);
    const int count = parser.value("count").toInt();
    for (int i = 0; i < count; ++i) {
        VelkPanel::Config config;
        config.number = quint16(parser.value("first").toUInt() + uint(i));
        config.password = parser.value("password");
        config.hardware = quint8(parser.value("hardware").toUInt());
        auto *panel = new VelkPanel(config, &app);
        for (auto it = policies.cbegin(); it != policies.cend(); ++it)
            panel->setPolicy(it.key(), it.value());
        const QString name = QString::number(config.number);
        QObject::connect(panel, &VelkPanel::answered, [&out, name](int result, quint16 port) {
            out << "panel " << name << " answer " << result << " audio " << port << Qt::endl;
        });
        QObject::connect(panel, &VelkPanel::requestReceived,
                         [&out, name](int command, quint32 sequence, int seen) {
                             out << "panel " << name << " request " << command << " seq "
                                 << sequence << " seen " << seen << Qt::endl;
                         });
        QObject::connect(panel, &VelkPanel::protocolError, [&out, name](const QString &text) {
            out << "panel " << name << " error " << text << Qt::endl;
        });
        if (!panel->start(QHostAddress(parser.value("server")),
                          quint16(parser.value("port").toUInt()),
                          parser.value("interval").toInt())) {
            std::fprintf(stderr, "cannot bind panel %d\n", config.number);
            return 1;
        }
    }
    if (const int seconds = parser.value("seconds").toInt(); seconds > 0)
        QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
