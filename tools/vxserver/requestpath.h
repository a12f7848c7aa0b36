#pragma once
// Maps an HTTP request target to a file below the served root. The target's
// query is dropped, percent escapes are decoded, empty and "." segments are
// skipped; a ".." segment (also when escaped), a zero byte, or a path that
// leaves the root through a symbolic link is refused with 403, and what is not
// a readable regular file gets 404. Only status 200 comes with a path.

#include <QByteArray>
#include <QString>

struct RequestPath
{
    int status = 404;
    QString filePath; // set when status is 200
};

// `canonicalRoot` is the root as QFileInfo::canonicalFilePath gives it.
RequestPath resolveRequestPath(const QString& canonicalRoot, const QByteArray& target);
