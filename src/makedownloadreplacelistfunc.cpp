#include "makedownloadreplacelistfunc.h"

#include "configuration.h"
#include "inidownloadtaskspecification.h"
#include "installedfile.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

// What a line costs besides the bytes of its installed file.
constexpr quint64 kLineWork = 64 * 1024;
// Hashing reads this much at a time; progress moves at most once per read.
constexpr qint64 kHashChunk = 1024 * 1024;

bool sameHash(const QString& actual, const QString& expected)
{
    return !actual.isEmpty() && actual.compare(expected, Qt::CaseInsensitive) == 0;
}

} // namespace

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

    m_WorkTotal = m_WorkDone = m_WorkReported = 0;
    for (const ProductIniReader::Section& section : ini.sections()) {
        m_WorkTotal += quint64(section.deletes.size() + section.files.size()) * kLineWork;
        for (const ProductIniReader::FileLine& line : section.files) {
            const QFileInfo installed(InstalledFile::joinedPath(m_InstallDir, line.replace.targetName()));
            if (installed.isFile())
                m_WorkTotal += quint64(installed.size());
        }
    }
    for (const ProductIniReader::Section& section : ini.sections()) {
        for (const DeleteItem& item : section.deletes) {
            advance(kLineWork);
            // Paths that name nothing installed are left out.
            if (QFileInfo::exists(InstalledFile::joinedPath(m_InstallDir, item.path)))
                m_Lists->deletes.append(item);
        }
        for (const ProductIniReader::FileLine& line : section.files) {
            compareFile(line, section.patches);
            advance(kLineWork);
        }
    }
    // A path sorts before every path below it: descending order deletes the
    // files of a directory before the directory.
    std::stable_sort(m_Lists->deletes.begin(), m_Lists->deletes.end(),
                     [](const DeleteItem& a, const DeleteItem& b) { return a.path > b.path; });
    emit progress(1.0);
    return true;
}

void MakeDownloadReplaceListFunc::compareFile(const ProductIniReader::FileLine& line,
                                              const QHash<QString, QList<ProductIniReader::Patch>>& patches)
{
    DownloadItem download = line.download;
    ReplaceItem replace = line.replace;
    const QString installedPath = InstalledFile::joinedPath(m_InstallDir, replace.targetName());
    const bool installed = QFileInfo(installedPath).isFile();

    const QString installedHash = installed ? sha512Of(installedPath, true) : QString();
    bool queue = !installed;
    const ProductIniReader::Patch* patch = nullptr;
    const auto candidates =
        replace.installName.isEmpty() ? patches.constEnd() : patches.constFind(replace.installName);
    for (int i = 0; installed && candidates != patches.constEnd() && i < candidates->size() && !patch; ++i) {
        if (sameHash(installedHash, candidates->at(i).baseHash))
            patch = &candidates->at(i);
    }
    if (patch != nullptr) {
        replace.patchName = patch->key;
        download.name = patch->key;
        download.hash = patch->hash;
        download.size = patch->size;
        qDebug() << "Found patch for" << replace.name << installedPath;
        queue = true;
    } else if (installed) {
        queue = !sameHash(installedHash, line.packed ? replace.hash : download.hash);
    }

    if (!queue) {
        if (!m_ClientUpdate)
            copyUpToDateFile(installedPath, replace.targetName());
        return;
    }

    m_Lists->replaces.append(replace);
    const QString downloaded = InstalledFile::joinedPath(m_TempDir, download.name);
    if (!QFileInfo(downloaded).isFile() || !sameHash(sha512Of(downloaded, false), download.hash)) {
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

QString MakeDownloadReplaceListFunc::sha512Of(const QString& path, bool counted)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha512);
    if (m_Chunk.isEmpty())
        m_Chunk.resize(int(kHashChunk));
    for (;;) {
        const qint64 n = file.read(m_Chunk.data(), kHashChunk);
        if (n < 0)
            return QString();
        if (n == 0)
            return QString::fromLatin1(hash.result().toHex());
        hash.addData(m_Chunk.constData(), int(n));
        if (counted)
            advance(quint64(n));
    }
}

void MakeDownloadReplaceListFunc::advance(quint64 bytes)
{
    m_WorkDone += bytes;
    // About a thousand reports at most, however many files and bytes.
    if (m_WorkTotal == 0 || (m_WorkDone - m_WorkReported) * 1000 < m_WorkTotal)
        return;
    m_WorkReported = m_WorkDone;
    // A file that grew since the total was taken must not pass the end.
    const qreal fraction = qMin<qreal>(1.0, qreal(m_WorkDone) / qreal(m_WorkTotal));
    qDebug() << "Comparison progress" << fraction;
    emit progress(fraction);
}
