#pragma once
// Reads the update server's UDP replies, which are untrusted bytes: the
// version list, the news and the banner. Only cutting, decoding and
// splitting happen here, with no socket and no window, so that every reply
// is read the same way wherever it arrives.
//
//   version list  at most 511 bytes up to the first zero byte, Latin-1:
//                 entries "number#label" joined by ","; empty entries count,
//                 the label starts after the first "#" (none: empty label)
//   news          at most 4095 bytes up to the first zero byte, UTF-8 HTML;
//                 a comment "<!--URL=...-->" (key exactly "URL") names the
//                 default link, taken from the first "<!--" to the last "-->"
//   banner        at most 1024 bytes, Latin-1: "<image URL>,<click URL>",
//                 exactly two parts

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class ServerReplies final
{
public:
    ServerReplies() = delete;

    // The most bytes read of each reply; the rest of a datagram is dropped.
    static const int kVersionLimit = 511;
    static const int kNewsLimit = 4095;
    static const int kBannerLimit = 1024;

    // (number text, label) per channel, in reply order.
    static QList<QPair<QString, QString>> versionEntries(const QByteArray& datagram);
    // The bytes of the version list that are read: up to the limit and the
    // first zero byte (what a signature covers).
    static QByteArray versionText(const QByteArray& datagram);
    static QString newsText(const QByteArray& datagram);
    // The default link named in the news; empty when there is none.
    static QString newsLink(const QString& news);
    // False, with the outputs untouched, unless the reply has exactly two parts.
    static bool bannerUrls(const QByteArray& datagram, QString* bannerUrl, QString* clickUrl);
};
