#include "cohorts.h"

#include <QFile>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Separates this use of the key from any other one it might get later.
const char kContext[] = "vxserver cohort 1";

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// O_EXCL: two servers starting at once never both write a key, and a file
// that appears meanwhile is read instead of replaced.
bool createKey(const QString& path, QString* error)
{
    QByteArray key(Cohorts::kKeyBytes, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(key.data()),
                                         reinterpret_cast<quint32*>(key.data() + key.size()));
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot create the cohort key '%1': %2").arg(path, systemError());
        return false;
    }
    const bool written = ::write(fd, key.constData(), size_t(key.size())) == key.size() && ::fsync(fd) == 0;
    if (!written)
        *error = QStringLiteral("cannot write the cohort key '%1': %2").arg(path, systemError());
    ::close(fd);
    if (!written)
        ::unlink(name.constData());
    return written;
}

} // namespace

bool Cohorts::loadOrCreateKey(const QString& path, QByteArray* key, bool* created, QString* error)
{
    *created = false;
    if (!QFile::exists(path)) {
        *created = createKey(path, error);
        if (!*created && !QFile::exists(path))
            return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the cohort key '%1': %2").arg(path, file.errorString());
        return false;
    }
    *key = file.read(kKeyBytes + 1);
    if (key->size() != kKeyBytes) {
        *error = QStringLiteral("the cohort key '%1' is %2 bytes, not %3")
                     .arg(path, QString::number(key->size()), QString::number(kKeyBytes));
        return false;
    }
    return true;
}

Cohorts::Cohorts(const QByteArray& key)
    : m_Key(key)
{
}

int Cohorts::cohortOf(const QHostAddress& address) const
{
    QByteArray message(kContext, sizeof kContext);
    bool isIpv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIpv4);
    if (isIpv4) {
        char bytes[4];
        qToBigEndian(ipv4, bytes);
        message.append(bytes, 4);
    } else {
        const Q_IPV6ADDR ipv6 = address.toIPv6Address();
        message.append(reinterpret_cast<const char*>(ipv6.c), 16);
    }
    const QByteArray mac = QMessageAuthenticationCode::hash(message, m_Key, QCryptographicHash::Sha256);
    // 64 bits reduced to 10000 shares: the bias is below 1e-15.
    return int(qFromBigEndian<quint64>(mac.constData()) % quint64(kCohorts));
}
