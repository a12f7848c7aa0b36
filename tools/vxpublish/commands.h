#pragma once
// The commands of vxpublish. Each gets the arguments after its name and
// returns the exit status; reasons for failure go to stderr as one line.

#include <string>
#include <vector>

namespace vxpublish {

enum ExitStatus {
    EXIT_OK = 0,
    EXIT_INVALID = 1, // a signature that does not match, a release that cannot be made
    EXIT_ERROR = 2    // usage, I/O or key errors
};

using Args = std::vector<std::string>;

// keygen [--ed25519] [--passphrase-file F | --passphrase-fd N] PRIVATE PUBLIC:
// a new key pair, the private half sealed with the passphrase; never overwrites.
int runKeygen(const Args& args);
// seal --passphrase-file F | --passphrase-fd N PLAIN SEALED: a key file sealed.
int runSeal(const Args& args);
// keyid KEYFILE: the key's algorithm and id.
int runKeyid(const Args& args);
// sign PRIVATE.der FILE: writes FILE.sig.
int runSign(const Args& args);
// verify PUBLIC FILE: checks FILE.sig (RSA) or FILE.signatures (Ed25519).
int runVerify(const Args& args);
// release --product NAME --version N --key PRIVATE.der --new DIR --out OUTDIR
// [--old DIR ...] [--delete PATH[=2] ...] [--pack auto|none|all]: the files
// an update server publishes for one product and version (release.cpp).
int runRelease(const Args& args);
// timestamp-keygen PRIVATE PUBLIC: a new Ed25519 key pair for version answers.
int runTimestampKeygen(const Args& args);
// versions --key PRIVATE --expires AGE (--versions LIST | --from FILE) --out
// FILE: the signed version list vxserver serves (versions.cpp).
int runVersions(const Args& args);

// Prints "vxpublish: <reason>" on stderr and returns `status`.
int fail(int status, const std::string& reason);

} // namespace vxpublish
