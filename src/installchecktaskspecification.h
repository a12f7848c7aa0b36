#pragma once
// Refuses an update that cannot succeed before it downloads anything more.
// Without lists (the first sub-task of a session): the installation must be
// a directory this user can write, or nothing at all is downloaded. With the
// lists of the product ini (right after they are made): every directory that
// receives a file must be writable, and the file systems of the installation
// and of the session directory must have the room the update needs: the
// downloads still missing in the session directory, the files unpacked there
// in the first step, and in the second step the new files that stand in the
// installation beside the originals until the end. Each refusal names the
// directory and the system's reason, or the figures.

#include "taskspecification.h"

class Configuration;
struct DownloadReplaceLists;

class InstallCheckTaskSpecification final : public TaskSpecification
{
    Q_OBJECT

public:
    InstallCheckTaskSpecification(Configuration* config, const DownloadReplaceLists* lists, QObject* parent,
                                  qreal weight);

public slots:
    void execute() override;

private:
    // Empty when this user may create files in `dir`, else the reason.
    static QString whyNotWritable(const QString& dir);
    bool installationWritable();
    bool targetsWritable();
    bool enoughRoom();

    Configuration* m_Config;
    const DownloadReplaceLists* m_Lists;
};
