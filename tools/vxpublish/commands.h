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

// keygen PRIVATE.der PUBLIC.der: a new 1024-bit key pair; never overwrites.
int runKeygen(const Args& args);
// sign PRIVATE.der FILE: writes FILE.sig.
int runSign(const Args& args);
// verify PUBLIC.der FILE: checks FILE.sig.
int runVerify(const Args& args);
// release --product NAME --version N --key PRIVATE.der --new DIR --out OUTDIR
// [--old DIR ...] [--delete PATH[=2] ...] [--pack auto|none|all]: the files
// an update server publishes for one product and version (release.cpp).
int runRelease(const Args& args);

// Prints "vxpublish: <reason>" on stderr and returns `status`.
int fail(int status, const std::string& reason);

} // namespace vxpublish
