#include "commandlinehelp.h"

#include <cstring>

namespace {

const char* const kText =
    "Usage: update [CLIENTTYPE VERSION] [--unattended]\n"
    "  or:  update --nouser CLIENTTYPE VERSION [LABEL|#] [NEWS] [--unattended]\n"
    "  or:  update --recover\n"
    "  or:  update --key-fingerprints\n"
    "Updates the Voxaro 3 Client installation in this program's directory in\n"
    "two steps: it builds a new updater in $TMPDIR/voxaro_temp_<n>/ (in the\n"
    "configuration directory when $TMPDIR is mounted noexec) and starts\n"
    "it with --clientupdate, which installs the client's files under a journal\n"
    "that undoes every change when one fails, and then starts\n"
    "vx3client_runscript.sh. Without a version it asks the update server which\n"
    "version is current on the installation's channel (update.ini).\n"
    "\n"
    "Arguments and options:\n"
    "  CLIENTTYPE VERSION  the product (client_linux_amd64) and the version to install\n"
    "                      (none: the server's current version for the channel)\n"
    "  --nouser            the same, with the version's label and a news text for the window\n"
    "  --clientupdate      step two, started by step one with the same arguments as --nouser\n"
    "  --unattended        anywhere on the line: no window and no message box, the session\n"
    "                      starts at once, and the process ends with the status of both\n"
    "                      steps (off)\n"
    "  --recover           finish or undo an interrupted update, then exit; the client's run\n"
    "                      script calls it before the client starts\n"
    "  --key-fingerprints  print the ids of the signing keys this build trusts, then exit\n"
    "  --help              print this text\n"
    "\n"
    "Environment:\n"
    "  VX3_CONFIG_DIR          the client's configuration directory (~/.vx3client/)\n"
    "  VX3_UPDATE_DIAGNOSTICS  a file that gets the diagnostics and the window's log (none)\n"
    "  VX3_UPDATE_SERVER_HOST  host of the UDP queries (the build's, update.voxaro.net)\n"
    "  VX3_UPDATE_SERVER_PORT  UDP port of the version and news queries (17384)\n"
    "  VX3_BANNER_SERVER_PORT  UDP port of the banner query (2009)\n"
    "  VX3_UPDATE_BASE_URL     base URL of the stable and beta channels' files (the build's)\n"
    "  VX3_UPDATE_CA_FILE      extra certificate authorities for https:// base URLs (none)\n"
    "  VX3_UNATTENDED_CONFIRM_MS  how long an unattended step one waits for step two to\n"
    "                          confirm (60000)\n"
    "\n"
    "Exit status:\n"
    "  0  updated (or, with a window, closed by the user); another updater already runs\n"
    "     (with a window)\n"
    "  1  the command line was rejected or the configuration failed; --recover: an\n"
    "     interrupted update could not be finished or undone\n"
    "  2  a fatal error of the update engine (an invalid proxy)\n"
    "  3  unattended: the update failed or was not started\n"
    "  4  unattended: step one finished, but step two did not run unattended to its end\n"
    "  5  unattended: another updater of this installation and user is running\n"
    "\n"
    "Example:\n"
    "  VX3_UPDATE_DIAGNOSTICS=/var/log/vx3-update.log /opt/voxaro/update client_linux_amd64 302 "
    "--unattended\n";

} // namespace

const char* CommandLineHelp::text()
{
    return kText;
}

bool CommandLineHelp::requested(int argc, const char* const* argv)
{
    return argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
}
