#include "versionanswercheck.h"

#include "timestampkeys.h"
#include "truststate.h"
#include "versionanswer.h"

#include <QDateTime>
#include <QDebug>
#include <QObject>

namespace {

QString dateText(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

} // namespace

bool VersionAnswerCheck::accept(const QByteArray& reply, const QString& installDir, qint64 now,
                                qint64* signedAt, QString* refusal)
{
    *signedAt = 0;
    TrustState trust;
    if (!trust.load(installDir, refusal))
        return false;
    const qint64 pin = trust.answerTime();
    const versionanswer::Check check =
        versionanswer::verify(reply.toStdString(), TimestampKeys::publicKeys(), now);
    qDebug() << "Version answer" << int(check.status) << QString::fromStdString(check.reason) << "signed"
             << check.signedAt << "pin" << pin;

    QString reason;
    switch (check.status) {
    case versionanswer::Status::Valid:
        if (check.signedAt >= pin) {
            *signedAt = check.signedAt;
            return true;
        }
        reason = QObject::tr("its answer was signed at %1, before one seen earlier (%2)")
                     .arg(dateText(check.signedAt), dateText(pin));
        break;
    case versionanswer::Status::Unsigned:
        reason = QObject::tr("its answer is not signed");
        break;
    case versionanswer::Status::Expired:
        reason = QObject::tr("its answer expired at %1").arg(dateText(check.expires));
        break;
    case versionanswer::Status::Invalid:
        reason = QString::fromStdString(check.reason);
        break;
    }
    // Without a pin the installation has never seen a signed answer: a
    // server of the original format, taken as it always was.
    if (pin == 0)
        return true;
    *refusal = QObject::tr("The update service could not be verified: %1").arg(reason);
    return false;
}
