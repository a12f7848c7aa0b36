#pragma once
// Key files sealed with a passphrase, so that a private key never lies on the
// release machine's disk in plain. A sealed file is one line of text:
//
//   vxpublish-sealed-key 1 argon2id13 <opslimit> <memlimit> <salt> <nonce> <box>
//
// (numbers in decimal, the rest in lower-case hex). The passphrase goes
// through Argon2id (libsodium's crypto_pwhash) with the recorded limits, and
// the key it gives opens the box: the plain key file in an XSalsa20-Poly1305
// secret box (crypto_secretbox), which also tells a wrong passphrase from a
// damaged file. New files get libsodium's "moderate" limits (about a second
// and 256 MiB per try); limits above "sensitive" are refused when reading.

#include "fileio.h"

#include <string>

namespace vxpublish {

bool isSealed(const Bytes& text);

// False with the reason when libsodium cannot do its part (out of memory).
bool seal(const Bytes& plain, const std::string& passphrase, Bytes& sealed, std::string& reason);

// False with a reason naming `path`: not a sealed key file, or a wrong
// passphrase. `plain` is cleared first.
bool unseal(const Bytes& sealed, const std::string& path, const std::string& passphrase, Bytes& plain,
            std::string& reason);

} // namespace vxpublish
