#pragma once
// A built tool run to its end by a test, as a user runs it from a shell.

#include <QByteArray>
#include <QString>
#include <QStringList>

struct ToolRun
{
    int status = -1; // -1: it crashed or did not end within the deadline
    QByteArray out;
    QByteArray err;
};

// Runs `program` with `args`, `input` on its standard input.
ToolRun runTool(const QString& program, const QStringList& args, const QByteArray& input = QByteArray());

// A failure of vxpublish says why in exactly one line.
bool oneLineReason(const QByteArray& err);
