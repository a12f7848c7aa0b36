#include "modernsignature.h"

#include "signaturelist.h"
#include "trustedkeys.h"

#include <QFile>
#include <QStringList>

#include <limits>

namespace {

bool readAll(const QString& path, qint64 limit, QByteArray* bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > limit)
        return false;
    *bytes = file.readAll();
    return bytes->size() == file.size();
}

} // namespace

ModernSignature::Verdict ModernSignature::check(const QString& iniPath, const QString& signaturesPath,
                                                QString* detail)
{
    if (!QFile::exists(signaturesPath))
        return Absent;
    QByteArray text;
    QByteArray ini;
    if (!readAll(signaturesPath, qint64(SignatureList::kMaxSize), &text)) {
        *detail = QObject::tr("%1 cannot be read or is too large").arg(signaturesPath);
        return Invalid;
    }
    if (!readAll(iniPath, std::numeric_limits<int>::max() - 64, &ini)) {
        *detail = QObject::tr("%1 cannot be read").arg(iniPath);
        return Invalid;
    }
    SignatureList list;
    std::string reason;
    if (!SignatureList::parse(text.toStdString(), list, reason)) {
        *detail = QString::fromStdString(reason);
        return Invalid;
    }
    std::string keyId;
    switch (list.verify(TrustedKeys::ed25519Keys(), reinterpret_cast<const unsigned char*>(ini.constData()),
                        static_cast<std::size_t>(ini.size()), keyId)) {
    case SignatureList::Verdict::Valid:
        *detail = QString::fromStdString(keyId);
        return Valid;
    case SignatureList::Verdict::Invalid:
        *detail = QObject::tr("the signature by the trusted key does not match the product ini");
        return Invalid;
    case SignatureList::Verdict::Untrusted:
        break;
    }
    QStringList ids;
    for (const SignatureList::Entry& entry : list.entries())
        ids << QString::fromStdString(entry.keyId);
    *detail = ids.isEmpty() ? QObject::tr("no Ed25519 signature") : ids.join(QStringLiteral(", "));
    return Untrusted;
}
