#pragma once

#include <QByteArray>
#include <QString>

// "Signal=<key>\r\nDuration=<ms>\r\n". A key above 31 is a key character, 0 to 16 an RFC 2833
// event number ("0"-"9", "*", "#", "a"-"d", "f" for flash).
QByteArray dtmfRelayBody(const uchar &key, const uint &duration);

// Reads an "application/dtmf-relay" body: the key character (0 when none, letters in lower
// case) and the duration, 250 ms when the body gives none. True when a key was found.
bool parseDtmfBody(const QByteArray &body, const QString &contentType, char &key, uint &duration);
