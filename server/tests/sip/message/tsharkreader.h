#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// Reads one datagram with Wireshark's dissectors: the bytes are wrapped as a UDP packet between
// two 5060 ports with text2pcap and read back with tshark.
class TsharkReader
{
public:
    static bool available();

    // Fields by name, several occurrences joined with "|"; empty when tshark could not run.
    QMap<QString, QString> read(const QByteArray &datagram, const QStringList &fields);
    // The expert lines at note level and above (malformed packets among them), as tshark's
    // summary prints them; empty for a clean packet.
    QString problems() const { return m_Problems; }
    QString error() const { return m_Error; }

private:
    QString m_Problems;
    QString m_Error;
};
