#include "updateserveraddress.h"

#include <QProcessEnvironment>

QString UpdateServerAddress::host()
{
    const QString host =
        QProcessEnvironment::systemEnvironment().value(QStringLiteral("VX3_UPDATE_SERVER_HOST"));
    return host.isEmpty() ? QStringLiteral(VX_DEFAULT_UPDATE_SERVER_HOST) : host;
}
