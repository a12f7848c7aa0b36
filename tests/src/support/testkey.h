#pragma once
// Content checks as the update files carry them: the SHA-512 in hexadecimal,
// a detached signature made with the project's test key (whose private half
// exists for tests only), and the modern signatures by the test-only Ed25519
// keys ("a", trusted by test builds, and "b").

#include <QByteArray>
#include <QString>
#include <QStringList>

QString sha512(const QByteArray& data);
QByteArray signWithTestKey(const QByteArray& data);
// The "<ini>.signatures" text of `data` signed by each named test key.
QByteArray modernSignaturesWithTestKeys(const QByteArray& data, const QStringList& keys);
// The id of test key `name`.
QString testKeyId(const QString& name);
