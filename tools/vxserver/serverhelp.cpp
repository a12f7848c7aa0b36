#include "serverhelp.h"

namespace {

const char* const kUsage =
    "usage: vxserver [--root DIR [--http-port P]] [--bind 127.0.0.1] "
    "[--versions \"N#label,...\" | --versions-file FILE] [--news FILE] "
    "[--rollout FILE --cohort-key FILE] "
    "[--banner \"imageURL,clickURL\" | --banner-file FILE] [--udp-port 17384] [--banner-port 2009] "
    "[--idle-timeout 30] [--max-connections 256] [--udp-rate 5] [--udp-burst 20] "
    "[--metrics-port P] [--summary-interval 60]";

const char* const kHelp =
    "Usage: vxserver [OPTION]...\n"
    "The Voxaro update server: serves the files of releases over HTTP and\n"
    "answers the updater's UDP queries, the version list and news (\"3\" or \"*\"\n"
    "and a zero byte) and the banner (0x01 0x01); without --root the UDP\n"
    "answers alone, next to a web server that has the files. Prints one line\n"
    "naming the ports in use, then one line per request. SIGHUP rereads the\n"
    "answers' files and keeps the old answers when one does not check out;\n"
    "SIGTERM and SIGINT stop it.\n"
    "\n"
    "Options:\n"
    "  --root DIR            serve the files below DIR over HTTP GET and HEAD (none: no HTTP)\n"
    "  --http-port P         HTTP port (8080; 0 lets the system choose)\n"
    "  --bind ADDRESS        address of every service (127.0.0.1)\n"
    "  --versions LIST       answer version queries: \"N#label,...\", entry i for channel i\n"
    "                        (0 stable, 1 beta, 2 alpha) (none: no version service)\n"
    "  --versions-file FILE  the same list read from FILE, reread on SIGHUP\n"
    "  --news FILE           the news answer, UTF-8, at most 4095 bytes (empty)\n"
    "  --rollout FILE        staged version lists, reread on SIGHUP: lines \"PERCENT LISTFILE\";\n"
    "                        a client whose cohort lies below a line's share gets its list,\n"
    "                        the first such line wins, the rest get --versions(-file) (none)\n"
    "  --cohort-key FILE     the secret that places clients in cohorts by their address,\n"
    "                        32 bytes, made when missing; needed with --rollout (none)\n"
    "  --banner IMAGE,CLICK  answer banner queries (none: no banner service)\n"
    "  --banner-file FILE    the same answer read from FILE, reread on SIGHUP\n"
    "  --udp-port P          version service port (17384)\n"
    "  --banner-port P       banner service port (2009)\n"
    "  --idle-timeout S      close HTTP connections idle for S seconds (30; fractions allowed)\n"
    "  --max-connections N   HTTP connections open at once; one more is answered 503 (256)\n"
    "  --udp-rate N          UDP answers per second to one sender address (5)\n"
    "  --udp-burst N         UDP answers one sender address may get at once (20)\n"
    "  --metrics-port P      serve Prometheus metrics on http://127.0.0.1:P/metrics, always\n"
    "                        on loopback (off)\n"
    "  --summary-interval S  log a summary of the answers every S seconds; 0: never (60)\n"
    "  --help                print this text\n"
    "\n"
    "Exit status:\n"
    "  0  stopped by SIGTERM or SIGINT\n"
    "  1  a service could not be started (a port in use, a cohort key that cannot be had)\n"
    "  2  a wrong argument, or an answer file that does not check out at start\n"
    "\n"
    "Example:\n"
    "  vxserver --bind 0.0.0.0 --versions-file /etc/voxaro/versions --news /etc/voxaro/news.html \\\n"
    "      --rollout /etc/voxaro/rollout --cohort-key /var/lib/vxserver/cohort-key \\\n"
    "      --banner-file /etc/voxaro/banner --metrics-port 9417\n";

} // namespace

const char* serverHelp()
{
    return kHelp;
}

const char* serverUsage()
{
    return kUsage;
}
