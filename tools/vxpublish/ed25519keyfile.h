#pragma once
// Ed25519 key files of vxpublish, one line of text each:
//   public key   "ed25519 <64 hex digits>"
//   secret key   "ed25519-secret <128 hex digits>": the 64-byte secret key,
//                the 32-byte seed followed by the public key
// The updater's build embeds public key files (VX_TRUSTED_KEYS); the secret
// ones sign releases. Reading a secret key goes through readSecretFile
// (keyfile.h), so it may be sealed with a passphrase and must be its owner's
// alone. A secret key whose halves do not belong together is refused: it
// would sign what no updater accepts.

#include "ed25519.h"
#include "fileio.h"

#include <string>

namespace vxpublish {

struct Passphrase;

std::string renderPublicKey(const ed25519::PublicKey& key);
std::string renderSecretKey(const ed25519::SecretKey& key);

// The public key of an Ed25519 public or secret key text; false with the
// reason (naming `path`) for anything else.
bool parsePublicKey(const Bytes& text, const std::string& path, ed25519::PublicKey& key, std::string& reason);

bool loadPublicKey(const std::string& path, ed25519::PublicKey& key, std::string& reason);
// `passphrase` opens a sealed file (may be null when none was given).
bool loadSecretKey(const std::string& path, const Passphrase* passphrase, ed25519::SecretKey& secret,
                   ed25519::PublicKey& key, std::string& reason);

// True when `text` starts like an Ed25519 key file of either kind.
bool looksLikeEd25519Key(const Bytes& text);

} // namespace vxpublish
