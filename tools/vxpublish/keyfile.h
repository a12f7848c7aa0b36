#pragma once
// Key files for vxpublish: a DER RSA key (PKCS #1) read and imported, with
// every way a file can fail to be a usable key (missing, empty, cut short,
// not DER, a public key where signing needs the private one, too short a
// modulus, a private key whose signatures do not verify) reported as one line
// naming the file, never as a crash.

#include "crypto.h"

#include <string>

namespace vxpublish {

// Signatures made with anything shorter would be forgeable; the updater's
// own key has exactly this size.
constexpr unsigned long kMinModulusBytes = 128;

// needPrivate: the key is for signing. False with the reason.
bool loadKey(const std::string& path, bool needPrivate, RsaKey& key, std::string& reason);

} // namespace vxpublish
