#pragma once
// The check of a product ini's modern signatures ("<ini>.signatures", see
// signaturelist.h) against the Ed25519 keys compiled into this updater. It
// complements the RSA ".sig", which updaters of the original format check and
// which stays mandatory.
//
// The verdicts, and what the product ini task makes of them:
//   Valid      a trusted key signed the ini
//   Absent     no signatures file: accepted, as releases made before modern
//              signatures are, unless the installation has installed a
//              release with a valid one (its trust record): then refused
//   Untrusted  signed only by keys this updater does not trust (unknown or
//              revoked): refused, and a new download would not change that
//   Invalid    malformed, or a trusted key's signature does not match: a
//              damaged download, tried again like a bad RSA signature
// Runs in the GUI thread: one file of at most 64 KiB and a few signature
// checks take microseconds.

#include <QString>

class ModernSignature final
{
public:
    ModernSignature() = delete;

    enum Verdict { Valid, Absent, Untrusted, Invalid };

    // `detail`: the key id that verified (Valid), the key ids found
    // (Untrusted) or the reason (Invalid).
    static Verdict check(const QString& iniPath, const QString& signaturesPath, QString* detail);
};
