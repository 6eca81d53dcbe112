#include "WindowResources.h"

#include <QtCore/qglobal.h>

void InitializeWindowResources()
{
    Q_INIT_RESOURCE(main);
}
