#pragma once
// The command line of vxserver:
//   vxserver --root DIR [--http-port P] [--bind ADDRESS] [--versions "N#label,..."]
//            [--news FILE] [--banner "imageURL,clickURL"] [--udp-port P] [--banner-port P]
// A port of 0 lets the system choose; the start-up line names the ports in
// use. The version service runs only with --versions, the banner service only
// with --banner. Replies are checked against what the updater can read
// (lengths, character sets, one comma in a banner) before anything is bound,
// so a server never answers with something a client would cut or misread.

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>

struct ServerOptions
{
    QString root;
    QHostAddress bindAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 httpPort = 8080;
    quint16 versionPort = 17384;
    quint16 bannerPort = 2009;
    bool versionService = false;
    QByteArray versionReply; // Latin-1
    QByteArray newsReply;    // UTF-8, empty without --news
    bool bannerService = false;
    QByteArray bannerReply; // Latin-1
};

// False with a one-line reason in `error`.
bool parseServerOptions(const QStringList& arguments, ServerOptions* options, QString* error);
