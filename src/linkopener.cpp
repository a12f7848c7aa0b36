#include "linkopener.h"

#include <QDebug>
#include <QDesktopServices>
#include <QUrl>

bool LinkOpener::isOpenable(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
           && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

bool LinkOpener::open(const QString& url)
{
    if (url.isEmpty())
        return false;
    const QUrl parsed(url, QUrl::TolerantMode);
    if (!isOpenable(parsed)) {
        qDebug() << "Refusing to open link" << url;
        return false;
    }
    return QDesktopServices::openUrl(parsed);
}
