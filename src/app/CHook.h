#ifndef MAD_APP_CHOOK_H
#define MAD_APP_CHOOK_H

#include <sys/types.h>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct CPassResult;
struct CSettings;

// One operator command run after a pass, as cron runs a job: "/bin/sh -c <command>" in a process
// group of its own, with the program's environment plus the given variables, its working
// directory, standard input from /dev/null and the program's standard output and error; no other
// descriptor of the program reaches it. Run waits for the shell at most the time-out; past it, or
// on a stop request, the whole group gets SIGTERM and, if anything of it is still there after the
// grace period, SIGKILL. Nothing is left as a zombie. Owns nothing between runs.
class CHook {
public:
    using Environment = std::vector<std::pair<std::string, std::string>>;

    enum class Status { Succeeded, Exited, Signalled, TimedOut, NotStarted };
    struct Result {
        Status status = Status::Succeeded;
        // The exit status (Exited) or the signal's number (Signalled).
        int code = 0;
        // Why it could not be started (NotStarted).
        std::string reason;
    };

    static constexpr unsigned int kKillGraceSeconds = 5;
    // After a stop request the program must be gone within about a second.
    static constexpr unsigned int kStopGraceMs = 800;

    // name ("onupdate", "onfailure") only names the hook in its messages; timeoutSeconds 0 waits
    // without limit. shell is the interpreter run with "-c <command>".
    CHook(std::string name, std::string command, unsigned int timeoutSeconds, std::string shell = "/bin/sh");

    // Runs the command once and waits for it as described above; stopRequested, when set, is
    // asked every few milliseconds.
    Result Run(const Environment& extra, const std::function<bool()>& stopRequested) const;
    // The line an operator reads about a result ("Hook onupdate exited with status 2\n"); empty
    // for a success.
    std::string Message(const Result& result) const;

    // The variables a pass hands its hooks: MAD_UPDATED, MAD_UPDATED_COUNT, MAD_FAILED,
    // MAD_FAILED_COUNT, MAD_SAVE_PATH, MAD_PASS and MAD_FEED_ERROR. A list of titles longer than
    // the system allows a variable (128 KiB) holds the whole titles that fit; its count tells all.
    static Environment PassEnvironment(const CPassResult& pass, const std::string& savePath);

private:
    // Ends the group led by pid: SIGTERM, then SIGKILL once graceMs passed with any of it left;
    // reaps the leader. status receives the leader's wait status when it had not been reaped.
    // A stop request meanwhile shortens the grace to kStopGraceMs.
    static void EndGroup(pid_t pid, unsigned int graceMs, const std::function<bool()>& stopRequested, bool& reaped,
                         int& status);

    std::string m_name;
    std::string m_command;
    unsigned int m_timeoutSeconds;
    std::string m_shell;
};

// Runs the hooks a finished pass calls for and prints what went wrong with either: onupdate when
// it replaced a map, then onfailure when it did not bring every map up to date. A pass that a
// stop request cut short runs neither; an empty command is no hook.
void RunPassHooks(const CSettings& settings, const CPassResult& pass, const std::function<bool()>& stopRequested);

#endif
