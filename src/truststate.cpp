#include "truststate.h"

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kHeader = "VXTRUST\t1";
const char* const kFloorKey = "floor";
const char* const kAnswerTimeKey = "answer-time";
const char* const kModernSignatureKey = "modern-signature";
// A real file holds a few short lines.
const qint64 kMaxFileSize = 64 * 1024;

bool validKey(const QString& key)
{
    static const QRegularExpression pattern(QStringLiteral("^[a-z0-9-]+$"));
    return pattern.match(key).hasMatch();
}

bool validValue(const QString& value)
{
    return !value.contains(QLatin1Char('\t')) && !value.contains(QLatin1Char('\n'))
           && !value.contains(QLatin1Char('\r'));
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

bool syncDirectory(const QString& dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

const char* const TrustState::kFileName = ".vx3trust";

QString TrustState::filePath(const QString& installDir)
{
    return installDir + QLatin1Char('/') + QLatin1String(kFileName);
}

bool TrustState::load(const QString& installDir, QString* error)
{
    m_Values.clear();
    QFile file(filePath(installDir));
    if (!file.exists())
        return true;
    const QString damaged = QObject::tr("The trust record %1 cannot be read: %2").arg(file.fileName());
    if (!file.open(QIODevice::ReadOnly)) {
        *error = damaged.arg(file.errorString());
        return false;
    }
    const QByteArray bytes = file.read(kMaxFileSize + 1);
    if (bytes.size() > kMaxFileSize || !bytes.endsWith('\n')) {
        *error = damaged.arg(QObject::tr("not a trust record"));
        return false;
    }
    QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    lines.removeLast();
    if (lines.isEmpty() || lines.takeFirst() != QLatin1String(kHeader)) {
        *error = damaged.arg(QObject::tr("not a trust record"));
        return false;
    }
    QMap<QString, QString> values;
    for (const QString& line : qAsConst(lines)) {
        const int tab = line.indexOf(QLatin1Char('\t'));
        if (tab <= 0 || !validKey(line.left(tab)) || !validValue(line.mid(tab + 1))) {
            *error = damaged.arg(QObject::tr("a damaged line"));
            return false;
        }
        values.insert(line.left(tab), line.mid(tab + 1));
    }
    for (const char* number : {kFloorKey, kAnswerTimeKey}) {
        bool ok = true;
        if (values.contains(QLatin1String(number))
            && (values.value(QLatin1String(number)).toLongLong(&ok) < 0 || !ok)) {
            *error = damaged.arg(QObject::tr("a damaged line"));
            return false;
        }
    }
    // Any other value is damage, not a reason to stop requiring signatures.
    if (values.contains(QLatin1String(kModernSignatureKey))
        && values.value(QLatin1String(kModernSignatureKey)) != QLatin1String("1")) {
        *error = damaged.arg(QObject::tr("a damaged line"));
        return false;
    }
    m_Values = values;
    return true;
}

bool TrustState::write(const QString& installDir, QString* error) const
{
    QByteArray text = QByteArray(kHeader) + '\n';
    for (auto it = m_Values.constBegin(); it != m_Values.constEnd(); ++it)
        text += it.key().toUtf8() + '\t' + it.value().toUtf8() + '\n';

    const QString target = filePath(installDir);
    const QString temporary = target + QStringLiteral(".new");
    const QByteArray temporaryName = QFile::encodeName(temporary);
    const QString failed = QObject::tr("The trust record %1 could not be written: %2").arg(target);
    // A leftover of a killed write is ours to replace; O_EXCL after it makes
    // sure the file written is the one created here, with its mode.
    ::unlink(temporaryName.constData());
    const int fd = ::open(temporaryName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = failed.arg(systemError());
        return false;
    }
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    const QString reason = systemError();
    ::close(fd);
    if (!written || ::rename(temporaryName.constData(), QFile::encodeName(target).constData()) != 0) {
        *error = failed.arg(written ? systemError() : reason);
        ::unlink(temporaryName.constData());
        return false;
    }
    if (!syncDirectory(installDir)) {
        *error = failed.arg(systemError());
        return false;
    }
    return true;
}

int TrustState::floor() const
{
    return value(QLatin1String(kFloorKey)).toInt();
}

void TrustState::setFloor(int version)
{
    setValue(QLatin1String(kFloorKey), QString::number(version));
}

qint64 TrustState::answerTime() const
{
    return value(QLatin1String(kAnswerTimeKey)).toLongLong();
}

void TrustState::setAnswerTime(qint64 seconds)
{
    setValue(QLatin1String(kAnswerTimeKey), QString::number(seconds));
}

bool TrustState::requiresModernSignature() const
{
    return value(QLatin1String(kModernSignatureKey)) == QLatin1String("1");
}

void TrustState::setRequiresModernSignature()
{
    setValue(QLatin1String(kModernSignatureKey), QStringLiteral("1"));
}

QString TrustState::value(const QString& key) const
{
    return m_Values.value(key);
}

bool TrustState::setValue(const QString& key, const QString& value)
{
    if (!validKey(key) || !validValue(value))
        return false;
    m_Values.insert(key, value);
    return true;
}
