#pragma once
// The server's log: one line per event on stdout, flushed at once so that a
// supervisor or test reading the pipe sees each request as it happens.
//
// Whatever a client sent goes into a line only through logField(), so that
// no request can end a line early, start a forged one or hide a field
// boundary: the log stays one event per line, fields split at spaces.

#include <QByteArray>
#include <QString>

void logLine(const QString& line);

// `bytes` as one log field: printable ASCII stays, a backslash becomes "\\",
// every other byte (space, control bytes, DEL, non-ASCII) becomes "\xHH".
// An empty field is written as "-".
QString logField(const QByteArray& bytes);
