#pragma once
// The command line of vxserver:
//   vxserver [--root DIR [--http-port P]] [--bind ADDRESS]
//            [--versions "N#label,..." | --versions-file FILE] [--news FILE]
//            [--banner "imageURL,clickURL" | --banner-file FILE]
//            [--udp-port P] [--banner-port P]
//            [--idle-timeout SECONDS] [--max-connections N] [--udp-rate N] [--udp-burst N]
// HTTP runs only with --root; without it vxserver gives the UDP answers alone
// (the files then come from a web server). A port of 0 lets the system
// choose; the start-up line names the ports in use. The version service runs
// only with --versions or --versions-file, the banner service only with
// --banner or --banner-file; at least one service must run. Replies are
// checked against what the updater can read (lengths, character sets, one
// comma in a banner) before anything is bound, so a server never answers with
// something a client would cut or misread. The answers read from files are
// read again by reloadAnswers() (on SIGHUP).
// --idle-timeout (seconds, fractions allowed) closes HTTP connections that
// make no progress; --max-connections bounds the HTTP connections open at
// once (one more is answered 503 and closed); --udp-rate and --udp-burst bound the UDP answers to each
// sender address (a token bucket: N answers a second, bursts of up to N).
//
// --rollout FILE stages the version list: each line of FILE is "PERCENT
// ANSWERFILE" (a share from 0 to 100 in steps of 0.01, and a file holding a
// whole version list, relative to FILE's directory); a sender whose cohort
// lies below the share of a line gets that line's list, the first line that
// holds it wins, and the rest get --versions or --versions-file. "#" starts a
// comment. The cohorts come from the key in --cohort-key FILE (cohorts.h).
// The rollout file and its answer files are reread on SIGHUP like the others.

#include "udpanswer.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>

struct ServerOptions
{
    QString root; // empty: no HTTP service
    QHostAddress bindAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 httpPort = 8080;
    quint16 versionPort = 17384;
    quint16 bannerPort = 2009;
    bool versionService = false;
    QByteArray versionReply; // Latin-1
    QByteArray newsReply;    // UTF-8, empty without --news
    bool bannerService = false;
    QByteArray bannerReply; // Latin-1
    // Where the answers come from: a command-line text or a file.
    QString versionsText;
    QString versionsFile;
    QString newsFile;
    QString bannerText;
    QString bannerFile;
    // A staged rollout of the version list (--rollout): its answers, tried
    // before versionReply, which the rest of the senders get.
    QString rolloutFile;
    QString cohortKeyFile;
    QVector<UdpAnswer> stagedVersionReplies;
    int metricsPort = -1;          // -1: no metrics endpoint
    int summaryIntervalMs = 60000; // 0: no summary lines
    int idleTimeoutMs = 30000;
    int maxConnections = 256;
    double udpRate = 5;
    int udpBurst = 20;
};

// False with a one-line reason in `error`.
bool parseServerOptions(const QStringList& arguments, ServerOptions* options, QString* error);

// Reads the answers of the services again from their sources. False with a
// one-line reason in `error`, and the replies of `options` unchanged.
bool reloadAnswers(ServerOptions* options, QString* error);
