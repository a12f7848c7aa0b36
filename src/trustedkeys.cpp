#include "trustedkeys.h"

#include "crypto.h"
#include "ed25519.h"
#include "timestampkeys.h"
#include "trustedkeydata.h"
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

std::vector<ed25519::PublicKey> TrustedKeys::ed25519Keys()
{
    std::vector<ed25519::PublicKey> keys(g_TrustedKeyCount);
    for (unsigned i = 0; i < g_TrustedKeyCount; ++i)
        std::copy(g_TrustedKeys[i], g_TrustedKeys[i] + keys[i].size(), keys[i].begin());
    return keys;
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
    QStringList lines{rsa + QLatin1Char(' ') + rsaKeyId() + QStringLiteral(" .sig")
                      + QLatin1String(g_UpdatePublicKeyTestOnly ? " test-only" : "")};
    const std::vector<ed25519::PublicKey> keys = ed25519Keys();
    for (size_t i = 0; i < keys.size(); ++i)
        lines << QStringLiteral("ed25519 ") + QString::fromStdString(ed25519::keyId(keys[i]))
                     + QStringLiteral(" .signatures")
                     + QLatin1String(g_TrustedKeyTestOnly[i] ? " test-only" : "");
    for (const ed25519::PublicKey& key : TimestampKeys::publicKeys())
        lines << QStringLiteral("ed25519 ") + QString::fromStdString(ed25519::keyId(key))
                     + QStringLiteral(" timestamp")
                     + QLatin1String(TimestampKeys::testOnly() ? " test-only" : "");
    return lines;
}
