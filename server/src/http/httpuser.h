#pragma once

#include "core/coreobject.h"

#include <QString>

class Http;

// One web user; its settings are the dynamic properties "is-admin", "display-name", "password".
class HttpUser : public CoreObject
{
    Q_OBJECT
public:
    HttpUser(const QString &name, Http *parent);
    ~HttpUser() override;

    QString name() const { return m_name; }
    static QString objectNameFor(const QString &name);

private:
    QString m_name;
};
