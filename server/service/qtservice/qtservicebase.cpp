#include "service/qtservice/qtservicebase.h"

#include "service/qtservice/qtservicebaseprivate.h"
#include "service/qtservice/qtservicesysprivate.h"

#include <QtGlobal>

#include <cstdio>

namespace {

QtServiceBase *g_instance = nullptr;

QByteArray local(const QString &text)
{
    return text.toLocal8Bit();
}

} // namespace

QtServiceBase::QtServiceBase(int argc, char **argv, const QString &name)
{
    g_instance = this;
    QString serviceName = name;
    if (serviceName.length() > 255) {
        qWarning("QtService: 'name' is longer than 255 characters.");
        serviceName.truncate(255);
    }
    if (serviceName.contains(QLatin1Char('\\'))) {
        qWarning("QtService: 'name' contains backslashes '\\'.");
        serviceName.replace(QLatin1Char('\\'), QChar(0));
    }
    d_ptr = new QtServiceBasePrivate(this, serviceName, argc, argv);
}

QtServiceBase::~QtServiceBase()
{
    delete d_ptr;
    g_instance = nullptr;
}

QtServiceBase *QtServiceBase::instance()
{
    return g_instance;
}

QString QtServiceBase::serviceName() const
{
    return d_ptr->controller.serviceName();
}

QString QtServiceBase::serviceDescription() const
{
    return d_ptr->serviceDescription;
}

void QtServiceBase::setServiceDescription(const QString &description)
{
    d_ptr->serviceDescription = description;
}

int QtServiceBase::startupType() const
{
    return d_ptr->startupType;
}

void QtServiceBase::setStartupType(int type)
{
    d_ptr->startupType = type;
}

int QtServiceBase::serviceFlags() const
{
    return d_ptr->serviceFlags;
}

void QtServiceBase::setServiceFlags(int flags)
{
    if (d_ptr->serviceFlags == flags)
        return;
    d_ptr->serviceFlags = flags;
    if (d_ptr->sysd)
        d_ptr->sysd->setServiceFlags(flags);
}

void QtServiceBase::stop() { }

void QtServiceBase::pause() { }

void QtServiceBase::resume() { }

void QtServiceBase::processCommand(int) { }

int QtServiceBase::exec()
{
    const QByteArray name = local(serviceName());
    if (d_ptr->args.size() < 2) {
        const int result = d_ptr->run(QStringList());
        if (result != 0) {
            std::fprintf(stderr, "The service %s could not start.\n", name.constData());
            return -4;
        }
        return 0;
    }

    const QString a = d_ptr->args.at(1);
    if (a == QLatin1String("-r") || a == QLatin1String("-register")) {
        if (d_ptr->controller.isInstalled()) {
            std::fprintf(stderr, "The service %s is already registered\n", name.constData());
        } else if (d_ptr->install()) {
            std::fprintf(stdout, "The service %s has been registered under: %s\n", name.constData(),
                         local(d_ptr->filePath()).constData());
        } else {
            std::fprintf(stderr, "The service %s could not be registered\n", name.constData());
            return -1;
        }
    } else if (a == QLatin1String("-u") || a == QLatin1String("-unregister")) {
        if (!d_ptr->controller.isInstalled()) {
            std::fprintf(stderr, "The service %s is not registered\n", name.constData());
        } else if (d_ptr->controller.uninstall()) {
            std::fprintf(stdout, "The service %s has been unregistered.\n", name.constData());
        } else {
            std::fprintf(stderr, "The service %s could not be unregistered\n", name.constData());
            return -1;
        }
    } else if (a == QLatin1String("-v") || a == QLatin1String("-version")) {
        std::fprintf(stdout, "The service\n\t%s\n\t%s\n\n", name.constData(),
                     local(d_ptr->args.at(0)).constData());
        std::fprintf(stdout, "is %s",
                     d_ptr->controller.isInstalled() ? "registered" : "not registered");
        std::fprintf(stdout, " and %s\n\n",
                     d_ptr->controller.isRunning() ? "running" : "not running");
    } else if (a == QLatin1String("start") || a == QLatin1String("-start")) {
        if (d_ptr->startInBackground())
            std::fprintf(stdout, "The service started.\n");
        else
            std::fprintf(stderr, "The service %s could not be started.\n", name.constData());
    } else if (a == QLatin1String("stop") || a == QLatin1String("-stop")) {
        if (d_ptr->controller.stop())
            std::fprintf(stdout, "The service stopped.\n");
        else
            std::fprintf(stderr, "The service could not be stopped.\n");
    }
    return 0;
}
