#pragma once
// Whether the update service's version answer may be acted upon, judged
// against the installation's pin (TrustState::answerTime, the signing time
// of the newest valid signed answer the installation took).
//
// A valid signed answer (versionanswer, checked against the timestamp keys
// built in) is taken unless it is older than the pin. Once an installation
// has a pin, an answer that is unsigned, wrongly signed, expired or older
// than the pin is refused: "The update service could not be verified: ...",
// and nothing is installed on its word. Without a pin (a server of the
// original format) every answer is taken, as before.

#include <QByteArray>
#include <QString>

class VersionAnswerCheck final
{
public:
    VersionAnswerCheck() = delete;

    // True when the answer may be used; `signedAt` is then its signing time,
    // or 0 when it carries no valid signature. False with the text to show.
    static bool accept(const QByteArray& reply, const QString& installDir, qint64 now, qint64* signedAt,
                       QString* refusal);
};
