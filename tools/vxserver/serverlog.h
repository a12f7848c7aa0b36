#pragma once
// The server's log: one line per event on stdout, flushed at once so that a
// supervisor or test reading the pipe sees each request as it happens.

#include <QString>

void logLine(const QString& line);
