#include "tsharkreader.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

bool run(const QString &program, const QStringList &arguments, QByteArray &output, QString &error)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        error = QStringLiteral("%1 failed: %2")
                    .arg(program, QString::fromLocal8Bit(process.readAllStandardError()));
        process.kill();
        process.waitForFinished();
        return false;
    }
    output = process.readAllStandardOutput();
    return true;
}

// The offset-and-bytes dump text2pcap reads.
QByteArray hexDump(const QByteArray &data)
{
    QByteArray dump;
    for (int offset = 0; offset < data.size(); offset += 16) {
        dump += QByteArray::number(offset, 16).rightJustified(6, '0');
        for (int i = offset; i < qMin(offset + 16, data.size()); ++i)
            dump += ' ' + QByteArray::number(uchar(data.at(i)), 16).rightJustified(2, '0');
        dump += '\n';
    }
    return dump;
}

} // namespace

bool TsharkReader::available()
{
    return !QStandardPaths::findExecutable(QStringLiteral("tshark")).isEmpty()
        && !QStandardPaths::findExecutable(QStringLiteral("text2pcap")).isEmpty();
}

QMap<QString, QString> TsharkReader::read(const QByteArray &datagram, const QStringList &fields)
{
    m_Problems.clear();
    m_Error.clear();
    QMap<QString, QString> result;
    QTemporaryDir dir;
    QFile dump(dir.filePath(QStringLiteral("packet.txt")));
    if (!dir.isValid() || !dump.open(QIODevice::WriteOnly)) {
        m_Error = QStringLiteral("no temporary folder");
        return result;
    }
    dump.write(hexDump(datagram));
    dump.close();
    const QString pcap = dir.filePath(QStringLiteral("packet.pcap"));
    QByteArray output;
    if (!run(QStringLiteral("text2pcap"),
             { QStringLiteral("-q"), QStringLiteral("-u"), QStringLiteral("5060,5060"),
               dump.fileName(), pcap },
             output, m_Error))
        return result;

    QStringList arguments { QStringLiteral("-r"), pcap,
                            QStringLiteral("-T"), QStringLiteral("fields"),
                            QStringLiteral("-E"), QStringLiteral("occurrence=a"),
                            QStringLiteral("-E"), QStringLiteral("aggregator=|"),
                            QStringLiteral("-E"), QStringLiteral("separator=/t") };
    for (const QString &field : fields)
        arguments << QStringLiteral("-e") << field;
    if (!run(QStringLiteral("tshark"), arguments, output, m_Error))
        return result;
    // One packet, one line; a leading empty field must survive, so only the line end goes.
    while (output.endsWith('\n') || output.endsWith('\r'))
        output.chop(1);
    const QList<QByteArray> values = output.split('\t');
    for (int i = 0; i < fields.size(); ++i)
        result.insert(fields.at(i),
                      i < values.size() ? QString::fromUtf8(values.at(i)) : QString());

    if (!run(QStringLiteral("tshark"),
             { QStringLiteral("-r"), pcap, QStringLiteral("-q"), QStringLiteral("-z"),
               QStringLiteral("expert,note") },
             output, m_Error))
        return QMap<QString, QString>();
    // The summary has a section per severity ("Errors (1)", "Warns (2)", "Notes (1)").
    for (const QByteArray &line : output.split('\n')) {
        if (!line.trimmed().isEmpty() && !line.startsWith('=') && !line.startsWith('-'))
            m_Problems += QString::fromUtf8(line) + QLatin1Char('\n');
    }
    return result;
}
