#pragma once
// The rollback journal of an installation step. Every change that succeeded
// leaves one RollbackData record, appended in the order the changes happened;
// the owner of the list undoes it newest first when its step fails, so a file
// goes before the directory it was created in. Undo failures are reported as
// "warning: rollback ..." lines through a reporter's message signal and make
// rollbackAll() return false; nothing stops or retries.
//
// GUI thread only: background work never touches a list.
//
// A list may stand on an InstallJournal (the journal on disk): then the file
// tasks also write every change there, flushed, before they make it, so that
// a session that dies at any moment can still be undone by the next start.
// Without one the list lives in memory only.

#include <QList>
#include <QString>

class InstallJournal;
class QObject;

class RollbackData final
{
public:
    enum Op {
        FILE_RENAME = 0,
        FILE_CREATE = 1,
        DIR_CREATE = 2,
        // An installed file was replaced by one rename; its original is kept
        // under another name (a hard link). Undone by putting the original
        // back with one rename, so the path is never missing.
        FILE_REPLACE = 3
    };

    // FILE_RENAME: the file was renamed from `from` to `to`.
    // FILE_REPLACE: the file `to` was replaced; its original is kept at `from`.
    RollbackData(int op, const QString& from, const QString& to);
    // FILE_CREATE or DIR_CREATE of `path`.
    RollbackData(int op, const QString& path);

    int op() const;
    // The path as it is now (the rename's target, what was created, or the
    // replaced file).
    QString path() const;
    // FILE_RENAME: the name before the rename; FILE_REPLACE: where the
    // original is kept; otherwise empty.
    QString formerPath() const;

    // Undoes this change; true on success, a warning to `reporter` otherwise.
    bool rollback(QObject* reporter) const;

    // Sends `text` through the "message" method of `reporter`; null: nothing.
    static void message(QObject* reporter, QString text);

private:
    QString m_Path;
    QString m_FormerPath;
    int m_Op;
};

class RollbackDataList final : public QList<RollbackData>
{
public:
    using QList<RollbackData>::QList;

    // The journal on disk this list stands on, or null.
    InstallJournal* disk() const;
    void setDisk(InstallJournal* disk);

private:
    InstallJournal* m_Disk = nullptr;
};

// Undoes and removes every record, newest first; true when all undos worked.
// The list is empty afterwards whatever happened.
bool rollbackAll(RollbackDataList* list, QObject* reporter);
