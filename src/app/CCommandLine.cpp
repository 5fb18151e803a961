#include "app/CCommandLine.h"

#include <cstring>

CCommandLine::CCommandLine(int argc, const char* const* argv) {
    for (int i = 1; i < argc && m_action == Action::Run; ++i) {
        const char* argument = argv[i];
        if (strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0) {
            m_action = Action::Help;
        } else if (strcmp(argument, "--version") == 0) {
            m_action = Action::Version;
        } else if (strcmp(argument, "--once") == 0) {
            m_runOnce = true;
        } else if (strcmp(argument, "--dry-run") == 0) {
            m_dryRun = true;
        } else if (strcmp(argument, "--check-config") == 0) {
            m_checkConfig = true;
        } else if (strcmp(argument, "-q") == 0 || strcmp(argument, "--quiet") == 0) {
            m_quiet = true;
        } else if (strcmp(argument, "-C") == 0 || strcmp(argument, "--directory") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                Fail(std::string("option ") + argument + " needs a directory");
            else
                m_directory = argv[++i];
        } else if (strncmp(argument, "--directory=", 12) == 0) {
            if (argument[12] == '\0')
                Fail("option --directory needs a directory");
            else
                m_directory = argument + 12;
        } else if (argument[0] == '-') {
            Fail(std::string("unknown option ") + argument);
        } else {
            Fail(std::string("unexpected argument ") + argument);
        }
    }
    // Each answers with its own exit status; taken together, a script could not tell them apart.
    if (m_action == Action::Run && m_dryRun && m_checkConfig) Fail("--dry-run and --check-config exclude each other");
}

void CCommandLine::Fail(const std::string& error) {
    m_action = Action::Invalid;
    m_error = error;
}

std::string CCommandLine::Synopsis() {
    return "Usage: mapautodownloader [--once] [--dry-run | --check-config] [-q] [-C DIR]\n"
           "       mapautodownloader --help | --version\n";
}

std::string CCommandLine::Usage() {
    return Synopsis() +
           "\n"
           "Keeps a directory of map files in step with a map feed. Reads config.xml in the\n"
           "working directory and keeps autoupdate.xml and mapversions.dat there.\n"
           "\n"
           "Options:\n"
           "  -C DIR, --directory DIR  work in DIR: config.xml, autoupdate.xml, mapversions.dat\n"
           "                           and a relative save path are found there\n"
           "  --once                   run one pass and exit, whatever the frequency says\n"
           "  --dry-run                fetch the feed and print what one pass would download,\n"
           "                           writing nothing (no map, autoupdate.xml or\n"
           "                           mapversions.dat); implies --once\n"
           "  --check-config           read config.xml, report its problems and, when it is\n"
           "                           valid, print the settings in effect; contacts no server\n"
           "                           and writes nothing (exit 0 valid, 1 not)\n"
           "  -q, --quiet              print only what reports a problem: failed maps and their\n"
           "                           error lines, feed failures, skipped maps, configuration\n"
           "                           warnings and errors; nothing after a pass that went well\n"
           "  -h, --help               print this help and exit\n"
           "  --version                print the name and version and exit\n"
           "\n"
           "Some settings of config.xml (every one in README.md and mapautodownloader(1)):\n"
           "  retries N                more tries for a download that failed for a transient\n"
           "                           cause, in the same pass (default 2, at most 10)\n"
           "  proxy URL, noproxy HOSTS an HTTP proxy, http://[user:password@]host:port, for\n"
           "                           every request but to the hosts noproxy lists\n"
           "  maxrate RATE             the most bytes per second all downloads receive\n"
           "                           together: 512k, 2M, off, or a timetable of local times\n"
           "                           such as \"08:00,512k 18:00,2M 23:30,off\"\n"
           "  maxmapsize SIZE          largest map downloaded, in bytes or with k, M or G\n"
           "                           (default: no limit); a larger one fails with \"Error\n"
           "                           downloading TITLE: larger than maxmapsize (SIZE)\"\n"
           "  metricsfile FILE         metrics in the Prometheus text format, written at start\n"
           "                           and after each pass\n"
           "  splay SECONDS            each periodic pass starts up to that many seconds late\n"
           "  onupdate, onfailure CMD  run through /bin/sh -c after a pass that replaced a map,\n"
           "                           and after one that did not bring every map up to date\n"
           "  hooktimeout SECONDS      longest wait for a hook (default 60; 0: no limit)\n"
           "\n"
           "Signals:\n"
           "  SIGTERM, SIGINT  stop within about a second; downloads in progress are abandoned\n"
           "                   and leave no partial file\n"
           "  SIGHUP           read config.xml again before the next pass; when it is not\n"
           "                   valid, say why and keep the settings in use\n"
           "  SIGUSR1          run a pass now, whatever the schedule\n"
           "\n"
           "Environment:\n"
           "  http_proxy, https_proxy, HTTPS_PROXY, no_proxy, NO_PROXY\n"
           "                   the proxies, as curl reads them, when config.xml names none\n"
           "  NOTIFY_SOCKET, WATCHDOG_USEC\n"
           "                   set by systemd: readiness, each pass's outcome and a stop are\n"
           "                   reported, and the watchdog is fed\n"
           "  JOURNAL_STREAM   set by systemd; when it names standard output (or standard\n"
           "                   error), each line written there starts with its syslog\n"
           "                   priority: <3> failures, <4> skipped maps and warnings, <6> the rest\n"
           "\n"
           "Exit status:\n"
           "  0  success (a stop request by SIGTERM or SIGINT included; with --check-config:\n"
           "     config.xml is valid)\n"
           "  1  configuration error (with --check-config: config.xml is not valid)\n"
           "  2  bad command line (--dry-run with --check-config included), or the directory\n"
           "     of -C cannot be entered\n"
           "  3  run-once mode (frequency 0 or --once): the pass did not bring every map up to\n"
           "     date (the feed failed, or a map failed, was skipped as unsafe or could not\n"
           "     be read); with --dry-run: the feed could not be fetched or parsed, or a map\n"
           "     would be skipped and none downloaded\n"
           "  4  --dry-run: a pass would download at least one map\n"
           "The onupdate and onfailure hooks of config.xml never change the exit status.\n";
}

std::string CCommandLine::VersionText() { return "mapautodownloader " MAD_VERSION "\n"; }
