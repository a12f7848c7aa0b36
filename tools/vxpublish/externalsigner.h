#pragma once
// Signing by an external command, for keys that never leave a hardware
// module or a key service. The protocol is bytes in, signature out:
//
//   the command runs as "/bin/sh -c COMMAND";
//   its standard input is the data to sign (the unpacked product ini), read
//   to the end;
//   it writes the raw signature on its standard output: 64 bytes for Ed25519,
//   as many bytes as the modulus for the RSA ".sig" (RSASSA-PSS, SHA-1 for
//   digest and MGF1, 8-byte salt; docs/signatures.md);
//   it exits with status 0; anything it writes on standard error passes
//   through.
//
// vxpublish checks every signature it gets against the public key named with
// the command before anything is published, so a signer that answers with
// the wrong key, or garbage, fails the release instead of its clients.

#include "fileio.h"

#include <string>

namespace vxpublish {

// Runs `command` on `data`; false with a reason naming the command when it
// cannot run, fails, or writes more than 64 KiB. `scratchDir` holds the
// data while the command reads it.
bool runSigner(const std::string& command, const Bytes& data, const std::string& scratchDir, Bytes& signature,
               std::string& reason);

} // namespace vxpublish
