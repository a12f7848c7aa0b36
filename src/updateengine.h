#pragma once
// Runs an update session for the window. For now it holds the clean-ups that
// start-up runs before anything else: files left behind by earlier updates.

#include <QObject>
#include <QString>

class UpdateEngine final : public QObject
{
    Q_OBJECT

public:
    // Removes the "_old_" copies that an earlier self-replacement left in `dir`.
    static void removeOldFiles(const QString& dir);
    // Removes the Qt 4 libraries that updaters before the Qt 5 port shipped.
    static void removeQt4Files(const QString& dir);
};
