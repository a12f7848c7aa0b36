#pragma once
// Makes sure only one updater runs per installation and user. Until the guard
// exists, every start counts as the only one.

#include <QObject>
#include <QString>

class SingleInstanceChecker final : public QObject
{
    Q_OBJECT

public:
    // Hands `message` to a running updater of this installation and user;
    // true when one took it.
    static bool notifyRunningInstance(const QString& message);
};
