#pragma once
// The rollback journal of an installation step. Every change that succeeded
// leaves one RollbackData record, appended in the order the changes happened;
// the owner of the list undoes it newest first when its step fails, so a file
// goes before the directory it was created in. Undo failures are reported as
// "warning: rollback ..." lines through a reporter's message signal and make
// rollbackAll() return false; nothing stops or retries.
//
// GUI thread only: background work never touches a list.

#include <QList>
#include <QString>

class QObject;

class RollbackData final
{
public:
    enum Op {
        FILE_RENAME = 0,
        FILE_CREATE = 1,
        DIR_CREATE = 2
    };

    // FILE_RENAME only: the file was renamed from `from` to `to`.
    RollbackData(int op, const QString& from, const QString& to);
    // FILE_CREATE or DIR_CREATE of `path`.
    RollbackData(int op, const QString& path);

    int op() const;
    // The path as it is now (the rename's target, or what was created).
    QString path() const;
    // FILE_RENAME: the name before the rename; otherwise empty.
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

using RollbackDataList = QList<RollbackData>;

// Undoes and removes every record, newest first; true when all undos worked.
// The list is empty afterwards whatever happened.
bool rollbackAll(RollbackDataList* list, QObject* reporter);
