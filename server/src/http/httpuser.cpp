#include "http/httpuser.h"

#include "core/env.h"
#include "http/http.h"

HttpUser::HttpUser(const QString &name, Http *parent)
    : CoreObject(parent)
    , m_name(name)
{
    setObjectName(objectNameFor(name));
    logLine(LogParams::HttpDebug, QStringLiteral("Create http user '%1'").arg(name));
}

HttpUser::~HttpUser()
{
    logLine(LogParams::HttpDebug, QStringLiteral("Delete http user '%1'").arg(m_name));
}

QString HttpUser::objectNameFor(const QString &name)
{
    return QStringLiteral("__http_user_%1").arg(name);
}
