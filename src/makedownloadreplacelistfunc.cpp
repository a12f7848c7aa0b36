#include "makedownloadreplacelistfunc.h"

#include "configuration.h"
#include "inidownloadtaskspecification.h"
#include "installedfile.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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

    const QString prodIni =
        InstalledFile::joinedPath(m_TempDir, IniDownloadTaskSpecification::iniName(m_ClientUpdate));
    qDebug() << "prodIni" << prodIni;
    emit message(QObject::tr("Compiling download and replace list for ")
                 + (m_ClientUpdate ? QStringLiteral("client") : QStringLiteral("updater")));

    ProductIniReader ini;
    switch (ini.read(prodIni)) {
    case ProductIniReader::Result::NoFiles:
        emit message(QObject::tr("No files in product ini"));
        return false;
    case ProductIniReader::Result::InvalidLine:
        emit message(QObject::tr("Warning: product ini contains invalid line in section %1")
                         .arg(ini.invalidSection()));
        return false;
    case ProductIniReader::Result::Ok:
        break;
    }

    const int total = ini.keyCount();
    int count = 0;
    for (const ProductIniReader::Section& section : ini.sections()) {
        for (const DeleteItem& item : section.deletes) {
            ++count;
            emit progress(qreal(count) / total);
            // Paths that name nothing installed are left out.
            if (QFileInfo::exists(InstalledFile::joinedPath(m_InstallDir, item.path)))
                m_Lists->deletes.append(item);
        }
        for (const ProductIniReader::FileLine& line : section.files) {
            ++count;
            emit progress(qreal(count) / total);
            compareFile(line, section.patches);
        }
    }
    return true;
}

void MakeDownloadReplaceListFunc::compareFile(const ProductIniReader::FileLine& line,
                                              const QHash<QString, ProductIniReader::Patch>& patches)
{
    DownloadItem download = line.download;
    ReplaceItem replace = line.replace;
    const QString installedPath = InstalledFile::joinedPath(m_InstallDir, replace.targetName());
    const bool installed = QFileInfo(installedPath).isFile();

    bool queue = !installed;
    const auto patch = replace.installName.isEmpty() ? patches.constEnd()
                                                     : patches.constFind(replace.installName);
    if (installed && patch != patches.constEnd() && hashMatches(installedPath, patch->baseHash)) {
        replace.patchName = patch->key;
        download.name = patch->key;
        download.hash = patch->hash;
        download.size = patch->size;
        qDebug() << "Found patch for" << replace.name << installedPath;
        queue = true;
    } else if (installed) {
        queue = !hashMatches(installedPath, line.packed ? replace.hash : download.hash);
    }

    if (!queue) {
        if (!m_ClientUpdate)
            copyUpToDateFile(installedPath, replace.targetName());
        return;
    }

    m_Lists->replaces.append(replace);
    if (!hashMatches(InstalledFile::joinedPath(m_TempDir, download.name), download.hash)) {
        m_Lists->downloads.append(download);
        qDebug() << "Queueing download:" << replace.name;
    }
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
