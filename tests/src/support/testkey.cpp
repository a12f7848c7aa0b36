#include "testkey.h"

#include "crypto.h"

#include <QCryptographicHash>
#include <QFile>

QString sha512(const QByteArray& data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha512).toHex());
}

QByteArray signWithTestKey(const QByteArray& data)
{
    QFile file(QStringLiteral(VX_TEST_KEY_DIR "/private.der"));
    const QByteArray der = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    RsaKey key;
    importPrivateKey(key, reinterpret_cast<const unsigned char*>(der.constData()),
                     static_cast<unsigned long>(der.size()));
    QByteArray signature(static_cast<int>(key.modulusSize()), '\0');
    unsigned long length = static_cast<unsigned long>(signature.size());
    signData(key, reinterpret_cast<const unsigned char*>(data.constData()), static_cast<unsigned long>(data.size()),
             reinterpret_cast<unsigned char*>(signature.data()), &length);
    signature.resize(static_cast<int>(length));
    return signature;
}
