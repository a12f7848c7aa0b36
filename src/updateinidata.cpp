#include "updateinidata.h"

#include "configuration.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace {

const char* const kCurrentGroup = "current";

// Groups that belong to the user, not to the session.
const char* const kUserGroups[] = {"Channel", "update"};

void copyGroup(QSettings& from, QSettings& to, const QString& group)
{
    from.beginGroup(group);
    to.beginGroup(group);
    const QStringList keys = from.allKeys();
    for (const QString& key : keys)
        to.setValue(key, from.value(key));
    to.endGroup();
    from.endGroup();
}

} // namespace

QString UpdateIniData::iniPath()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::get(int* version, QString* type, QString* dir, QString* vx3dir)
{
    QSettings settings(iniPath(), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kCurrentGroup));
    bool versionOk = false;
    const int recordedVersion = settings.value(QStringLiteral("version")).toInt(&versionOk);
    const QString recordedDir = settings.value(QStringLiteral("dir")).toString();
    const QString recordedVx3dir = settings.value(QStringLiteral("vx3dir")).toString();
    const QString recordedType = settings.value(QStringLiteral("type")).toString();
    qDebug() << "get" << iniPath() << recordedVersion << recordedType << recordedDir << recordedVx3dir;

    if (!versionOk || recordedType.isEmpty() || recordedDir.isEmpty() || !QFileInfo::exists(recordedDir))
        return false;
    if (version)
        *version = recordedVersion;
    if (type)
        *type = recordedType;
    if (dir)
        *dir = recordedDir;
    if (vx3dir)
        *vx3dir = recordedVx3dir;
    return true;
}

void UpdateIniData::modify(int version, const QString& dir, const QString& vx3dir, const QString& type)
{
    qDebug() << "modify" << iniPath() << version << dir << vx3dir << type;
    QSettings settings(iniPath(), QSettings::IniFormat);
    settings.beginGroup(QLatin1String(kCurrentGroup));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("vx3dir"), vx3dir);
    settings.setValue(QStringLiteral("type"), type);
}

void UpdateIniData::modifyTempIni(const QString& dir)
{
    const QString target = dir + QStringLiteral("/update.ini");
    qDebug() << "modifyTempIni" << target;

    int version = 0;
    QString sessionDir;
    QString installDir;
    if (!get(&version, nullptr, &sessionDir, &installDir)) {
        qDebug() << "Failed to read existing update.ini";
        return;
    }

    QSettings settings(target, QSettings::IniFormat);
    QSettings source(iniPath(), QSettings::IniFormat);
    for (const char* group : kUserGroups)
        copyGroup(source, settings, QLatin1String(group));

    settings.beginGroup(QLatin1String(kCurrentGroup));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), sessionDir);
    settings.setValue(QStringLiteral("vx3dir"), installDir);
    settings.setValue(QStringLiteral("type"), Configuration::productName(true));
}
