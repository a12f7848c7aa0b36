#include "checksigfunc.h"

#include "updatefiles.h"

#include "crypto.h"
#include "updatepublickey.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>

#include <limits>

CheckSigFunc::CheckSigFunc(const QString& filePath, const QString& expectedHash)
    : m_FilePath(filePath)
    , m_ExpectedHash(expectedHash)
{
}

bool CheckSigFunc::run()
{
    if (!m_ExpectedHash.isEmpty())
        return checkHash();
    return checkRsaSignature();
}

bool CheckSigFunc::readWholeFile(const QString& path, QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QObject::tr("Could not open file %1 for reading").arg(path));
        return false;
    }
    const qint64 size = file.size();
    // A QByteArray cannot hold more; resizing beyond would end the process.
    if (size > std::numeric_limits<int>::max() - 64) {
        emit message(QObject::tr("could not read file %1 correctly").arg(path));
        return false;
    }
    bytes.resize(static_cast<int>(size));
    const qint64 read = size > 0 ? file.read(bytes.data(), size) : 0;
    if (read != size) {
        emit message(QObject::tr("could not read file %1 correctly").arg(path));
        return false;
    }
    file.close();
    return true;
}

bool CheckSigFunc::checkHash()
{
    QByteArray data;
    if (!readWholeFile(m_FilePath, data))
        return false;
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha512);
    const QString hex = QString::fromLatin1(digest.toHex());
    return hex.compare(m_ExpectedHash, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkRsaSignature()
{
    QByteArray data;
    QByteArray signature;
    if (!readWholeFile(m_FilePath, data))
        return false;
    if (!readWholeFile(m_FilePath + QLatin1String(UpdateFiles::kSignatureSuffix), signature))
        return false;
    try {
        RsaKey key;
        importPublicKey(key, g_UpdatePublicKey, kUpdatePublicKeySize);
        return verifySignature(key, reinterpret_cast<const unsigned char*>(data.constData()),
                               static_cast<unsigned long>(data.size()),
                               reinterpret_cast<const unsigned char*>(signature.constData()),
                               static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception& e) {
        qDebug() << "Signature check error" << m_FilePath << QString::fromLatin1(e.what());
        return false;
    }
}
