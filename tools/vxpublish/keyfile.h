#pragma once
// Key files for vxpublish: a DER RSA key (PKCS #1) read and imported, with
// every way a file can fail to be a usable key (missing, empty, cut short,
// not DER, a public key where signing needs the private one, too short a
// modulus, a private key whose signatures do not verify) reported as one line
// naming the file, never as a crash.
//
// Every file that holds a private key (RSA or Ed25519) is read through
// readSecretFile: it must be its owner's alone (mode 0600 or less; a key
// that others could read must be taken for leaked), and a file sealed with a
// passphrase (keyseal.h) is opened with the passphrase given. Passphrases
// come from a file (--passphrase-file, also its owner's alone) or an open
// file descriptor (--passphrase-fd), never from the command line, where
// every user of the machine can read them.

#include "crypto.h"
#include "fileio.h"

#include <string>

namespace vxpublish {

// The passphrase that opens sealed key files; wiped when it goes.
struct Passphrase
{
    Passphrase() = default;
    ~Passphrase();
    Passphrase(const Passphrase&) = delete;
    Passphrase& operator=(const Passphrase&) = delete;

    std::string text;
};

// `option` is "--passphrase-file" (value: a path) or "--passphrase-fd" (value:
// a descriptor number). Reads up to the first line feed or the end; an empty
// passphrase is refused. False with the reason.
bool readPassphrase(const std::string& option, const std::string& value, Passphrase& passphrase,
                    std::string& reason);
bool isPassphraseOption(const std::string& option);

// Reads a file that holds a private key: refused when group or others may
// read or write it; unsealed with `passphrase` when sealed (null: none given).
bool readSecretFile(const std::string& path, const Passphrase* passphrase, Bytes& data, std::string& reason);

// Signatures made with anything shorter would be forgeable; the updater's
// own key has exactly this size.
constexpr unsigned long kMinModulusBytes = 128;

// needPrivate: the key is for signing. False with the reason.
bool loadKey(const std::string& path, bool needPrivate, RsaKey& key, std::string& reason,
             const Passphrase* passphrase = nullptr);

} // namespace vxpublish
