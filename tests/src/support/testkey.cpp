#include "testkey.h"

#include "crypto.h"
#include "ed25519.h"
#include "signaturelist.h"

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

namespace {

ed25519::SecretKey testSecretKey(const QString& name)
{
    QFile file(QStringLiteral(VX_TEST_KEY_DIR "/ed25519-") + name + QStringLiteral(".secret"));
    const QByteArray line = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
    const QByteArray bytes = QByteArray::fromHex(line.mid(line.indexOf(' ') + 1));
    ed25519::SecretKey key{};
    std::copy(bytes.begin(), bytes.begin() + qMin<int>(bytes.size(), int(key.size())), key.begin());
    return key;
}

ed25519::PublicKey publicHalf(const ed25519::SecretKey& secret)
{
    ed25519::PublicKey key;
    std::copy(secret.end() - key.size(), secret.end(), key.begin());
    return key;
}

} // namespace

QByteArray modernSignaturesWithTestKeys(const QByteArray& data, const QStringList& keys)
{
    SignatureList list;
    for (const QString& name : keys) {
        const ed25519::SecretKey secret = testSecretKey(name);
        list.add(ed25519::keyId(publicHalf(secret)),
                 ed25519::sign(secret, reinterpret_cast<const unsigned char*>(data.constData()),
                               static_cast<std::size_t>(data.size())));
    }
    return QByteArray::fromStdString(list.render());
}

QString testKeyId(const QString& name)
{
    return QString::fromStdString(ed25519::keyId(publicHalf(testSecretKey(name))));
}
