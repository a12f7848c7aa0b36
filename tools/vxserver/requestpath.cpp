#include "requestpath.h"

#include <QFileInfo>
#include <QStringList>

RequestPath resolveRequestPath(const QString& canonicalRoot, const QByteArray& target)
{
    RequestPath result;
    QByteArray rawPath = target;
    const int query = rawPath.indexOf('?');
    if (query >= 0)
        rawPath.truncate(query);
    if (!rawPath.startsWith('/')) {
        result.status = 400;
        return result;
    }
    const QByteArray decoded = QByteArray::fromPercentEncoding(rawPath);
    if (decoded.contains('\0')) {
        result.status = 403;
        return result;
    }

    QStringList segments;
    for (const QString& segment : QString::fromUtf8(decoded).split(QLatin1Char('/'))) {
        if (segment.isEmpty() || segment == QLatin1String("."))
            continue;
        if (segment == QLatin1String("..")) {
            result.status = 403;
            return result;
        }
        segments.append(segment);
    }
    const QFileInfo file(canonicalRoot + QLatin1Char('/') + segments.join(QLatin1Char('/')));
    if (!file.exists() || !file.isFile())
        return result;
    // A link inside the root must not hand out what lies outside it.
    const QString rootPrefix =
        canonicalRoot.endsWith(QLatin1Char('/')) ? canonicalRoot : canonicalRoot + QLatin1Char('/');
    if (!file.canonicalFilePath().startsWith(rootPrefix)) {
        result.status = 403;
        return result;
    }
    if (!file.isReadable()) {
        result.status = 403;
        return result;
    }
    result.status = 200;
    result.filePath = file.canonicalFilePath();
    return result;
}
