#include "serverreplies.h"

#include <QRegExp>
#include <QStringList>

namespace {

// A C string in a datagram: the bytes before the limit and before the first zero.
QByteArray textPart(const QByteArray& datagram, int limit)
{
    const QByteArray cut = datagram.left(limit);
    const int zero = cut.indexOf('\0');
    return zero < 0 ? cut : cut.left(zero);
}

} // namespace

QList<QPair<QString, QString>> ServerReplies::versionEntries(const QByteArray& datagram)
{
    QList<QPair<QString, QString>> entries;
    const QStringList parts = QString::fromLatin1(textPart(datagram, kVersionLimit)).split(QLatin1Char(','));
    for (const QString& part : parts) {
        const int hash = part.indexOf(QLatin1Char('#'));
        if (hash < 0)
            entries.append(qMakePair(part, QString()));
        else
            entries.append(qMakePair(part.left(hash), part.mid(hash + 1)));
    }
    return entries;
}

QByteArray ServerReplies::versionText(const QByteArray& datagram)
{
    return textPart(datagram, kVersionLimit);
}

QString ServerReplies::newsText(const QByteArray& datagram)
{
    return QString::fromUtf8(textPart(datagram, kNewsLimit));
}

QString ServerReplies::newsLink(const QString& news)
{
    // Greedy on purpose: the comment runs from the first "<!--" to the last "-->".
    QRegExp comment(QStringLiteral("<!--(.+)-->"));
    if (comment.indexIn(news) < 0)
        return QString();
    const QString body = comment.cap(1);
    const int equals = body.indexOf(QLatin1Char('='));
    if (equals < 0 || body.left(equals) != QLatin1String("URL"))
        return QString();
    return body.mid(equals + 1);
}

bool ServerReplies::bannerUrls(const QByteArray& datagram, QString* bannerUrl, QString* clickUrl)
{
    const QStringList parts = QString::fromLatin1(datagram.left(kBannerLimit)).split(QLatin1Char(','));
    if (parts.size() != 2)
        return false;
    *bannerUrl = parts.at(0);
    *clickUrl = parts.at(1);
    return true;
}
