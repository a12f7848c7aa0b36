#pragma once
// The install journal on disk. Step two writes down every change it makes to
// an installation, flushed to disk, before it makes it; a session that dies
// at any moment (killed, crashed, power lost) is undone by the next start,
// and a session that succeeded leaves nothing behind.
//
// Place: a hidden directory inside the installation, so that everything it
// holds is on the installation's own file system:
//   <installation>/.vx3update/journal   the records
//   <installation>/.vx3update/kept/N    originals: hard links to replaced
//                                       files, paths moved aside by deletions
//   <installation>/.vx3update/new/N     new files while they are produced
// A new file is complete and flushed in new/ before one rename puts it in
// place; a replaced file's original is linked into kept/ before that rename.
// So no installed path is ever missing or half written, and nothing in kept/
// is removed before the journal says the session ended.
//
// Format, one record a line, fields separated by tabs, the last field the
// CRC-32 (8 lower-case hex digits) of the line before that tab:
//   VXJOURNAL 1           the header (magic and format version)
//   D path                a directory was created
//   C path                a file was put where there was none
//   R path kept           a file was replaced; its original is kept/N
//   M path kept           a path was moved aside to kept/N (a deletion)
//   COMMIT                the session succeeded: only clean-up is left
//   UNDONE                everything was undone: only clean-up is left
// Paths are relative to the installation, percent-encoded. An incomplete or
// unreadable last line is a write cut off by the end of the process: the
// change it announced was never begun, and it is ignored. A journal that
// does not read back otherwise (another header, a bad line before the last,
// a path leading out of the installation) is refused: reported, never acted
// upon and left in place, since its kept originals may be the only copies.
//
// A session holds an exclusive lock on its journal while it lives, so a
// start-up recovery never touches the journal of an update that still runs.
// Recovery is idempotent: every undo first checks whether it is still due,
// so a recovery that is itself interrupted is simply run again.
//
// GUI thread only.

#include "rollback.h"

#include <QString>
#include <QStringList>

class QObject;

class InstallJournal final
{
public:
    explicit InstallJournal(const QString& installDir);
    ~InstallJournal();
    InstallJournal(const InstallJournal&) = delete;
    InstallJournal& operator=(const InstallJournal&) = delete;

    static QString directoryOf(const QString& installDir);

    // Appends one record and flushes it; the journal is created on first
    // use. False with *error set when it cannot be written.
    bool write(const RollbackData& record, QString* error);
    // Fresh names for a kept original and for a new file being produced;
    // empty with *error set when the journal cannot be set up.
    QString newKeptPath(QString* error);
    QString newStagingPath(QString* error);

    // After success: marks the session done and removes the journal with the
    // kept originals. False (nothing removed) when the mark cannot be written.
    bool commit(QObject* reporter);
    // After a failure: undoes every journalled change, newest first, then
    // removes the journal unless a kept original could not be put back.
    bool rollBack(QObject* reporter);

    enum Recovery { NOTHING, ROLLED_BACK, COMPLETED, IN_USE, REFUSED, INCOMPLETE };
    // Run at start: finishes or undoes what a dead session left in
    // `installDir`. Lines for the user are appended to `report`.
    static Recovery recover(const QString& installDir, QStringList* report);

    // Marks the end of one journalled step. In a build with VX_TEST_HOOKS,
    // VX3_TEST_KILL_AT=N has the process killed (SIGKILL) right after the
    // N-th step; other builds have no such switch.
    static void step();

private:
    bool ensureOpen(QString* error);
    bool appendLine(const QString& line, QString* error);
    QString newName(const char* sub, QString* error);
    void closeJournal();

    QString m_InstallDir;
    QString m_Dir;
    int m_Fd;
    int m_NextName;
};
