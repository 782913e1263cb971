#pragma once

#include <QString>

// Matchers of the URI, Via and name-addr grammars. Each returns whether the whole text
// matches and fills the captures (empty when a group did not take part).
namespace UriGrammar {

struct UriParts
{
    QString user;
    QString password;
    QString host;
    QString port;
    QString parameters;
};

// A port capture as a number; empty or above 65535 gives 0.
quint16 portNumber(const QString &digits);

bool matchUri(int scheme, const QString &text, UriParts &parts);
bool matchUserHost(int scheme, const QString &text, UriParts &parts);
bool matchHost(int scheme, const QString &text, UriParts &parts);

struct ViaParts
{
    QString version;
    QString transport;
    QString sentBy;
};
bool matchVia(const QString &text, ViaParts &parts);

struct NameAddrParts
{
    QString displayName;
    QString uri;
    QString parameters;
};
bool matchNameAddr(const QString &text, NameAddrParts &parts);

} // namespace UriGrammar
