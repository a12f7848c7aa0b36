#pragma once
// Content checks as the update files carry them: the SHA-512 in hexadecimal,
// and a detached signature made with the project's test key (whose private
// half exists for tests only).

#include <QByteArray>
#include <QString>

QString sha512(const QByteArray& data);
QByteArray signWithTestKey(const QByteArray& data);
