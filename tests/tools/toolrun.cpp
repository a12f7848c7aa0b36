#include "toolrun.h"

#include <QProcess>

namespace {

// Only a hung tool fails on it: making patches takes long on a busy machine.
const int kDeadlineMs = 120000;

} // namespace

ToolRun runTool(const QString& program, const QStringList& args, const QByteArray& input)
{
    QProcess process;
    process.start(program, args);
    process.write(input);
    process.closeWriteChannel();
    ToolRun run;
    if (!process.waitForFinished(kDeadlineMs) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

bool oneLineReason(const QByteArray& err)
{
    return err.startsWith("vxpublish: ") && err.endsWith('\n') && err.count('\n') == 1;
}
