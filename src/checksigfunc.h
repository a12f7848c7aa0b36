#pragma once
// The pool-thread half of a CheckSignatureTaskSpecification. With an expected
// hash: the file's SHA-512 must equal it (hexadecimal, letter case ignored).
// Without: the file named m_FilePath + ".sig" must hold a valid signature of
// the file under the embedded public key. Unreadable files and any crypto
// error give false; read problems are reported through message.

#include "asyncfunc.h"

#include <QByteArray>

class CheckSigFunc final : public ASyncFunc
{
    Q_OBJECT

public:
    CheckSigFunc(const QString& filePath, const QString& expectedHash);

    bool run() override;

private:
    bool checkHash();
    bool checkRsaSignature();
    bool readWholeFile(const QString& path, QByteArray& bytes);

    QString m_FilePath;
    QString m_ExpectedHash;
};
