#pragma once
// Whole update sessions for tests: releases made by the real publisher tool,
// and one session of the real engine and main task, run in this process until
// it finishes, is canceled or a minute passes.

#include "testfiles.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

class HttpTestServer;

struct SessionResult
{
    bool finished = false;
    QStringList messages;
    QStringList errors;
    QList<qreal> progress; // every value of the engine's updateProgress
};

// True when `values` never fall and end at 1.
bool risesToOne(const QList<qreal>& values);

// Publishes version 2 of `product` from `newTree`, with patches from `oldTree`
// unless it is empty, into `outDir` with `vxpublish release`, the test key
// and test key a; `options` are further options of the tool. A failure fails
// the running test.
void publishRelease(const QString& product, const QString& newTree, const QString& oldTree,
                    const QString& outDir, const QStringList& options = QStringList());

// `content` packed into an LZMA2 container, as the publisher packs files.
QByteArray lzmaContainer(const QByteArray& content);

// Serves `ini` as the product ini `iniName` in the release directory
// `releasePath` of `server` (such as "/base/2/") as the publisher does: packed,
// with the RSA signature of the test key and the modern signature of test key
// a. For inis the publisher tool would refuse to write. A failure fails the
// running test.
void serveSignedIni(HttpTestServer* server, const QString& releasePath, const QString& iniName,
                    const QByteArray& ini);

// Serves every file below `dir` at `urlPath` + its relative name.
void serveTree(HttpTestServer* server, const QString& urlPath, const QString& dir);

// Runs one session of the program with the command-line arguments `args`;
// tickMs > 0 shortens the engine's progress tick; when the engine logs the
// line `cancelAt`, the session is cancelled there.
SessionResult runSession(const QStringList& args, int tickMs = 0, const QString& cancelAt = QString());
