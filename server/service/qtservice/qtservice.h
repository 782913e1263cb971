#pragma once

#include "service/qtservice/qtservicebase.h"

#include <QCoreApplication>

// Binds the wrapper to an application class; the wrapper deletes the application object.
template<typename Application> class QtService : public QtServiceBase
{
public:
    QtService(int argc, char **argv, const QString &name)
        : QtServiceBase(argc, argv, name)
        , app(nullptr)
    {
    }

protected:
    Application *application() const { return app; }

    void createApplication(int &argc, char **argv) override { app = new Application(argc, argv); }

    int executeApplication() override { return Application::exec(); }

private:
    Application *app;
};
