#include "udpanswer.h"

const UdpAnswer& UdpReply::answerFor(int cohort) const
{
    for (const UdpAnswer& answer : answers) {
        if (cohort < answer.cohortsBelow)
            return answer;
    }
    return answers.constLast();
}

QStringList versionOffers(const QByteArray& versionList)
{
    static const char* const kChannels[] = {"stable", "beta", "alpha"};
    const QList<QByteArray> entries = versionList.split(',');
    QStringList offers;
    for (int channel = 0; channel < 3 && channel < entries.size(); ++channel) {
        const QByteArray number = entries.at(channel).split('#').first();
        if (!number.isEmpty())
            offers << QStringLiteral("%1 %2").arg(QLatin1String(kChannels[channel]),
                                                  QString::fromLatin1(number));
    }
    return offers;
}
