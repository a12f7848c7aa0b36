#include "updateserveraddress.h"

#include <QDebug>
#include <QProcessEnvironment>

namespace {

quint16 portFromEnvironment(const char* name, quint16 fallback)
{
    const QString text = QProcessEnvironment::systemEnvironment().value(QLatin1String(name));
    if (text.isEmpty())
        return fallback;
    bool ok = false;
    const uint port = text.toUInt(&ok);
    if (!ok || port == 0 || port > 65535) {
        qDebug() << "Ignoring" << name << text;
        return fallback;
    }
    return quint16(port);
}

} // namespace

QString UpdateServerAddress::host()
{
    const QString host =
        QProcessEnvironment::systemEnvironment().value(QStringLiteral("VX3_UPDATE_SERVER_HOST"));
    return host.isEmpty() ? QStringLiteral(VX_DEFAULT_UPDATE_SERVER_HOST) : host;
}

quint16 UpdateServerAddress::versionPort()
{
    return portFromEnvironment("VX3_UPDATE_SERVER_PORT", kDefaultVersionPort);
}

quint16 UpdateServerAddress::bannerPort()
{
    return portFromEnvironment("VX3_BANNER_SERVER_PORT", kDefaultBannerPort);
}
