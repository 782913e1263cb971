#include "core/env.h"
#include "core/servicevoip.h"

int main(int argc, char **argv)
{
    ServiceVoIP service(argc, argv);
    Env::initApplication(argv[0]);
    return service.exec();
}
