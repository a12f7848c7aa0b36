#pragma once
// Asks the update server for the current version of every channel and for the
// news text: two request/reply exchanges over one UDP socket, with blocking
// calls in the calling thread (the window is not shown yet).
//
//   request "3\0" -> up to 511 bytes, Latin-1: entries "number#label" joined
//                    by ","; entry i is channel i (0 stable, 1 beta, 2 alpha)
//   request "*\0" -> up to 4095 bytes, UTF-8: the news HTML
//
// Each receive waits at most 5000 ms (kReceiveTimeoutMs; tests shorten it).
// Every failure only makes query() false.
// The socket is connected to the server's address, so replies from any other
// sender never reach it.

#include "updateserveraddress.h"

#include <QList>
#include <QPair>
#include <QString>

class VersionQuery final
{
public:
    VersionQuery() = default;

    // Runs both exchanges; true only when both replies arrived. Each call starts
    // from an empty entry list, so a retry never leaves stale entries in front.
    bool query();

    // The entry of channel `index`, or two empty strings when there is none.
    QPair<QString, QString> entryAt(int index) const;
    QString newsText() const;
    // The version list as read, for checking its signature.
    QByteArray versionText() const;

    // The default port; UpdateServerAddress::versionPort() is the one in use.
    static const quint16 kPort = UpdateServerAddress::kDefaultVersionPort;

    static constexpr int kReceiveTimeoutMs = 5000;
    int receiveTimeoutMs() const;
    void setReceiveTimeoutMs(int ms);

private:
    int m_ReceiveTimeoutMs = kReceiveTimeoutMs;
    QList<QPair<QString, QString>> m_Entries;
    QByteArray m_VersionText;
    QString m_NewsText;
};
