#pragma once
// What a UDP service answers to one kind of request. Most requests have one
// answer for everybody; the version list may be staged: an ordered list of
// whole answers, each given to the senders whose cohort (cohorts.h) is below
// its bound, the first that holds the sender wins, and the last answer, bound
// to every cohort, goes to the rest. The answers' bytes are used as they are,
// so each staged answer may carry its own signature entries.

#include "cohorts.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

struct UdpAnswer
{
    QByteArray bytes;
    int cohortsBelow = Cohorts::kCohorts;
    // For the metrics of a version list: what it offers each channel, as
    // "CHANNEL VERSION" ("stable 302"); channels without a release are left out.
    QStringList offers;
};

struct UdpReply
{
    QString kind;               // "version", "news" or "banner"
    QVector<UdpAnswer> answers; // never empty; the last one is bound to every cohort

    bool staged() const { return answers.size() > 1; }
    // The answer for a sender of `cohort`.
    const UdpAnswer& answerFor(int cohort) const;
};

// The channels' offers of a version list: entry i is channel i (stable, beta,
// alpha); entries after those are no channel's.
QStringList versionOffers(const QByteArray& versionList);
