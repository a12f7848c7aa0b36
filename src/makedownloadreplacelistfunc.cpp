#include "makedownloadreplacelistfunc.h"

#include "configuration.h"
#include "inidownloadtaskspecification.h"
#include "installedfile.h"
#include "updatefiles.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

namespace {

const QString kFieldSeparator = QLatin1String(UpdateFiles::kFieldSeparator);

UpdateFiles::LineKind lineKind(const QString& section, const QString& key, int fieldCount)
{
    return UpdateFiles::lineKind(section.toStdString(), key.toStdString(), size_t(fieldCount));
}

}  // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration* config,
                                                         DownloadReplaceLists* lists)
    : m_ClientUpdate(config->clientUpdate() != 0)
    , m_TempDir(config->tempDir())
    , m_InstallDir(config->installDir())
    , m_Lists(lists)
{
}

bool MakeDownloadReplaceListFunc::run()
{
    m_Lists->clear();
    m_DownloadNames.clear();

    const QString prodIni =
        InstalledFile::joinedPath(m_TempDir, IniDownloadTaskSpecification::iniName(m_ClientUpdate));
    qDebug() << "prodIni" << prodIni;
    emit message(QObject::tr("Compiling download and replace list for ")
                 + (m_ClientUpdate ? QStringLiteral("client") : QStringLiteral("updater")));

    QSettings ini(prodIni, QSettings::IniFormat);
    const QStringList sections = ini.childGroups();
    int total = 0;
    for (const QString& section : sections) {
        ini.beginGroup(section);
        total += ini.allKeys().size();
        ini.endGroup();
    }
    if (total == 0) {
        emit message(QObject::tr("No files in product ini"));
        return false;
    }

    int count = 0;
    for (const QString& section : sections) {
        ini.beginGroup(section);
        QStringList keys = ini.allKeys();
        QStringList patchKeys;
        for (auto it = keys.begin(); it != keys.end();) {
            if (UpdateFiles::isPatchKey(it->toStdString())) {
                patchKeys.append(*it);
                it = keys.erase(it);
            } else {
                ++it;
            }
        }

        QHash<QString, PatchEntry> patches;
        if (!readPatchTable(ini, section, patchKeys, &patches))
            return false;

        if (section == QLatin1String(UpdateFiles::kDeleteSection)) {
            for (const QString& key : qAsConst(keys)) {
                if (!isSafeRelativePath(key)) {
                    reportInvalidLine(section);
                    return false;
                }
            }
            readDeletes(ini, keys, total, &count);
        } else {
            for (const QString& key : qAsConst(keys)) {
                ++count;
                emit progress(qreal(count) / total);
                const QStringList fields = ini.value(key).toString().split(kFieldSeparator);
                if (!compareFile(section, key, fields, patches)) {
                    reportInvalidLine(section);
                    return false;
                }
            }
        }
        ini.endGroup();
    }
    return true;
}

bool MakeDownloadReplaceListFunc::readPatchTable(QSettings& ini, const QString& section,
                                                 const QStringList& patchKeys,
                                                 QHash<QString, PatchEntry>* table)
{
    for (const QString& key : patchKeys) {
        QStringList fields = ini.value(key).toString().split(kFieldSeparator);
        // The patch key is a download name like any other; its fifth field
        // only links to a file line and is never used as a path.
        if (lineKind(section, key, fields.size()) != UpdateFiles::LineKind::Patch
            || !isSafeRelativePath(key) || !claimDownloadName(key)) {
            reportInvalidLine(section);
            return false;
        }
        const QString target = fields.takeLast();
        table->insert(target, PatchEntry{key, fields});
    }
    return true;
}

void MakeDownloadReplaceListFunc::readDeletes(QSettings& ini, const QStringList& keys,
                                              int total, int* count)
{
    for (const QString& key : keys) {
        ++*count;
        emit progress(qreal(*count) / total);
        if (!QFileInfo::exists(InstalledFile::joinedPath(m_InstallDir, key)))
            continue;
        DeleteItem item;
        item.path = key;
        item.recursive = ini.value(key).toInt() == UpdateFiles::kRecursiveDeletion;
        m_Lists->deletes.append(item);
    }
}

bool MakeDownloadReplaceListFunc::compareFile(const QString& section, const QString& key,
                                              const QStringList& fields,
                                              const QHash<QString, PatchEntry>& patches)
{
    const UpdateFiles::LineKind kind = lineKind(section, key, fields.size());
    const bool packed = kind == UpdateFiles::LineKind::PackedFile;
    if (!packed && kind != UpdateFiles::LineKind::PlainFile)
        return false;

    DownloadItem download;
    download.section = section;
    download.name = key;
    download.hash = fields.at(0);
    download.size = fields.at(1).toULongLong();

    ReplaceItem replace;
    replace.name = key;
    replace.size = download.size;
    if (packed) {
        replace.hash = fields.at(2);
        replace.size = fields.at(3).toULongLong();
        replace.installName = fields.at(4);
    }
    if (!isSafeRelativePath(key)
        || (!replace.installName.isEmpty() && !isSafeRelativePath(replace.installName))
        || !claimDownloadName(key))
        return false;

    const QString installedPath = InstalledFile::joinedPath(m_InstallDir, replace.targetName());
    const bool installed = QFileInfo(installedPath).isFile();

    bool queue = !installed;
    const auto patch = replace.installName.isEmpty() ? patches.constEnd()
                                                     : patches.constFind(replace.installName);
    if (installed && patch != patches.constEnd()
        && hashMatches(installedPath, patch->fields.at(2))) {
        replace.patchName = patch->key;
        download.name = patch->key;
        download.hash = patch->fields.at(0);
        download.size = patch->fields.at(1).toULongLong();
        qDebug() << "Found patch for" << key << installedPath;
        queue = true;
    } else if (installed) {
        queue = !hashMatches(installedPath, packed ? replace.hash : download.hash);
    }

    if (!queue) {
        if (!m_ClientUpdate)
            copyUpToDateFile(installedPath, replace.targetName());
        return true;
    }

    m_Lists->replaces.append(replace);
    if (!hashMatches(InstalledFile::joinedPath(m_TempDir, download.name), download.hash)) {
        m_Lists->downloads.append(download);
        qDebug() << "Queueing download:" << key;
    }
    return true;
}

void MakeDownloadReplaceListFunc::copyUpToDateFile(const QString& installedPath,
                                                   const QString& targetName) const
{
    const QString dst = InstalledFile::joinedPath(m_TempDir, targetName);
    const QString dstDir = QFileInfo(dst).absolutePath();
    if (!QFileInfo::exists(dstDir))
        QDir().mkpath(dstDir);
    const bool copied = QFile::copy(installedPath, dst);
    qDebug() << "Copying updater files:" << installedPath << "to" << dst << copied;
}

bool MakeDownloadReplaceListFunc::claimDownloadName(const QString& key)
{
    if (m_DownloadNames.contains(key))
        return false;
    m_DownloadNames.insert(key);
    return true;
}

void MakeDownloadReplaceListFunc::reportInvalidLine(const QString& section)
{
    emit message(
        QObject::tr("Warning: product ini contains invalid line in section %1").arg(section));
}

bool MakeDownloadReplaceListFunc::isSafeRelativePath(const QString& path)
{
    return UpdateFiles::isSafeRelativePath(path.toStdString());
}

bool MakeDownloadReplaceListFunc::hashMatches(const QString& path, const QString& expected)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha512);
    if (!hash.addData(&file))
        return false;
    return QString::fromLatin1(hash.result().toHex()).compare(expected, Qt::CaseInsensitive) == 0;
}
