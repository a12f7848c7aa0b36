#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

void writeFile(const QString& path, const QByteArray& content)
{
    QVERIFY2(QDir().mkpath(QFileInfo(path).path()), qPrintable(path));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void makeOld(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        const QDir::Filters all = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
        for (const QFileInfo& entry : QDir(path).entryInfoList(all))
            makeOld(entry.absoluteFilePath());
    }
    const timespec twoHoursAgo{::time(nullptr) - 7200, 0};
    const timespec times[2] = {twoHoursAgo, twoHoursAgo};
    QVERIFY2(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW) == 0,
             qPrintable(path));
}

QMap<QString, QByteArray> fileTree(const QString& dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(dir).relativeFilePath(path);
        // The installation's trust record (TrustState), which no release holds.
        if (name != QLatin1String(".vx3trust"))
            files.insert(name, readFile(path));
    }
    return files;
}

QByteArray sampleText(const char* seed, int lines)
{
    QByteArray data;
    for (int i = 0; i < lines; ++i)
        data += seed + QByteArray::number(i * 7 % 113) + '\n';
    return data;
}
