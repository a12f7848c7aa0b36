#include "trustedkeys.h"

#include "crypto.h"
#include "updatepublickey.h"

#include <QCryptographicHash>

namespace {

QString keyId(const unsigned char* key, unsigned long length)
{
    const QByteArray bytes(reinterpret_cast<const char*>(key), static_cast<int>(length));
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha512).left(8).toHex());
}

} // namespace

QString TrustedKeys::rsaKeyId()
{
    return keyId(g_UpdatePublicKey, g_UpdatePublicKeyLength);
}

QStringList TrustedKeys::fingerprintLines()
{
    QString rsa = QStringLiteral("rsa");
    try {
        initCrypto();
        RsaKey key;
        importPublicKey(key, g_UpdatePublicKey, kUpdatePublicKeySize);
        rsa += QLatin1Char('-') + QString::number(key.modulusSize() * 8);
    } catch (const crypt_exception&) {
        // The build refuses what is not a DER public key; the id still names it.
    }
    return {rsa + QLatin1Char(' ') + rsaKeyId() + QStringLiteral(" .sig")
            + QLatin1String(g_UpdatePublicKeyTestOnly ? " test-only" : "")};
}
