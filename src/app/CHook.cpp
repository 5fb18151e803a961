#include "app/CHook.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/CPassResult.h"
#include "app/CSettings.h"
#include "app/Utils.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(10);

// The system refuses to start a program with one environment string longer than this (the
// terminating zero included), whatever the total: a list of titles is cut to fit.
constexpr size_t kLongestVariable = 128 * 1024;

// The titles one a line, as many whole ones as fit into the variable name.
std::string JoinLines(const char* name, const std::vector<std::string>& titles) {
    const size_t room = kLongestVariable - strlen(name) - 2;  // "=" and the terminating zero
    std::string text;
    for (size_t i = 0; i < titles.size(); ++i) {
        const size_t separator = i == 0 ? 0 : 1;
        if (text.size() + separator + titles[i].size() > room) break;
        text += (i == 0 ? "" : "\n") + titles[i];
    }
    return text;
}

// The program's environment, whatever it held under the names the hook is given replaced.
std::vector<std::string> BuildEnvironment(const CHook::Environment& extra) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* equals = strchr(*entry, '=');
        const size_t nameLength = equals ? static_cast<size_t>(equals - *entry) : strlen(*entry);
        bool replaced = false;
        for (const auto& variable : extra)
            replaced = replaced || variable.first.compare(0, std::string::npos, *entry, nameLength) == 0;
        if (!replaced) entries.emplace_back(*entry);
    }
    for (const auto& variable : extra) entries.push_back(variable.first + "=" + variable.second);
    return entries;
}

// posix_spawn's attributes and file actions, released on every path.
class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
};

// Whether any process of the group still runs. One that has ended but waits, as a zombie, for
// an init that reaps slowly (as in many containers) counts as gone; without /proc every member
// counts as running.
bool GroupRuns(pid_t group) {
    if (kill(-group, 0) != 0 && errno == ESRCH) return false;
    DIR* proc = opendir("/proc");
    if (!proc) return true;
    bool runs = false;
    while (const dirent* entry = readdir(proc)) {
        if (runs || entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        const std::string path = std::string("/proc/") + entry->d_name + "/stat";
        FILE* file = fopen(path.c_str(), "re");
        if (!file) continue;
        char stat[512] = {};
        const size_t length = fread(stat, 1, sizeof(stat) - 1, file);
        fclose(file);
        stat[length] = '\0';
        // "pid (name) state ppid pgrp ...": the name may hold anything, so read after its last ')'.
        const char* fields = strrchr(stat, ')');
        char state = 0;
        int parent = 0;
        int processGroup = 0;
        if (fields && sscanf(fields + 1, " %c %d %d", &state, &parent, &processGroup) == 3)
            runs = processGroup == group && state != 'Z' && state != 'X';
    }
    closedir(proc);
    return runs;
}

}  // namespace

CHook::CHook(std::string name, std::string command, unsigned int timeoutSeconds, std::string shell)
    : m_name(std::move(name)),
      m_command(std::move(command)),
      m_timeoutSeconds(timeoutSeconds),
      m_shell(std::move(shell)) {}

CHook::Result CHook::Run(const Environment& extra, const std::function<bool()>& stopRequested) const {
    Result result;
    SpawnSetup setup;
    // Its own group, so the shell's children end with it; signals as a fresh program has them,
    // not the ones this program ignores (SIGPIPE) or blocks.
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    // No open map, socket or state file of this program reaches the hook, whoever forgot
    // close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);

    std::vector<std::string> environment = BuildEnvironment(extra);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(&entry[0]);
    envp.push_back(nullptr);
    std::string arg0 = "sh";
    std::string arg1 = "-c";
    std::string command = m_command;
    char* argv[] = {&arg0[0], &arg1[0], &command[0], nullptr};

    // Whatever the program printed must come before the hook's lines.
    fflush(stdout);
    fflush(stderr);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, m_shell.c_str(), &setup.actions, &setup.attributes, argv, envp.data());
    if (error != 0) {
        result.status = Status::NotStarted;
        result.reason = strerror(error);
        return result;
    }

    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(m_timeoutSeconds);
    bool reaped = false;
    int status = 0;
    bool timedOut = false;
    while (!reaped) {
        const pid_t waited = waitpid(pid, &status, WNOHANG);
        if (waited == pid || (waited < 0 && errno != EINTR)) {
            reaped = true;
        } else if (stopRequested && stopRequested()) {
            EndGroup(pid, kStopGraceMs, stopRequested, reaped, status);
        } else if (m_timeoutSeconds != 0 && Clock::now() >= deadline) {
            timedOut = true;
            EndGroup(pid, kKillGraceSeconds * 1000, stopRequested, reaped, status);
        } else {
            std::this_thread::sleep_for(kPollInterval);
        }
    }
    if (timedOut) {
        result.status = Status::TimedOut;
    } else if (WIFSIGNALED(status)) {
        result.status = Status::Signalled;
        result.code = WTERMSIG(status);
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        result.status = Status::Exited;
        result.code = WEXITSTATUS(status);
    }
    return result;
}

void CHook::EndGroup(pid_t pid, unsigned int graceMs, const std::function<bool()>& stopRequested, bool& reaped,
                     int& status) {
    kill(-pid, SIGTERM);
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(graceMs);
    bool stopSeen = false;
    while (Clock::now() < deadline) {
        if (!reaped && waitpid(pid, &status, WNOHANG) == pid) reaped = true;
        // The leader reaped, an empty group is the only sign the rest of it has ended too.
        if (reaped && !GroupRuns(pid)) return;
        if (!stopSeen && stopRequested && stopRequested()) {
            stopSeen = true;
            deadline = std::min(deadline, Clock::now() + std::chrono::milliseconds(kStopGraceMs));
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    kill(-pid, SIGKILL);
    while (!reaped) {
        const pid_t waited = waitpid(pid, &status, 0);
        reaped = waited == pid || (waited < 0 && errno != EINTR);
    }
}

std::string CHook::Message(const Result& result) const {
    switch (result.status) {
    case Status::Succeeded:
        return "";
    case Status::Exited:
        return Format("Hook %s exited with status %d\n", m_name.c_str(), result.code);
    case Status::Signalled:
        return Format("Hook %s killed by signal %d\n", m_name.c_str(), result.code);
    case Status::TimedOut:
        return Format("Hook %s timed out after %u s\n", m_name.c_str(), m_timeoutSeconds);
    case Status::NotStarted:
        return Format("Hook %s could not be started: %s\n", m_name.c_str(), result.reason.c_str());
    }
    return "";
}

CHook::Environment CHook::PassEnvironment(const CPassResult& pass, const std::string& savePath) {
    return {{"MAD_UPDATED", JoinLines("MAD_UPDATED", pass.updated)},
            {"MAD_UPDATED_COUNT", std::to_string(pass.updated.size())},
            {"MAD_FAILED", JoinLines("MAD_FAILED", pass.failed)},
            {"MAD_FAILED_COUNT", std::to_string(pass.failed.size())},
            {"MAD_SAVE_PATH", savePath},
            {"MAD_PASS", pass.complete ? "complete" : "incomplete"},
            {"MAD_FEED_ERROR", pass.feedError}};
}

void RunPassHooks(const CSettings& settings, const CPassResult& pass, const std::function<bool()>& stopRequested) {
    if (pass.stopped || settings.dryRun) return;
    const CHook::Environment environment = CHook::PassEnvironment(pass, settings.savePath);
    const std::pair<const char*, const std::string*> due[] = {
        {"onupdate", pass.updated.empty() ? nullptr : &settings.onUpdate},
        {"onfailure", pass.complete ? nullptr : &settings.onFailure},
    };
    for (const auto& hook : due) {
        if (!hook.second || hook.second->empty() || (stopRequested && stopRequested())) continue;
        const CHook command(hook.first, *hook.second, settings.hookTimeoutSeconds);
        const std::string message = command.Message(command.Run(environment, stopRequested));
        if (!message.empty()) PrintMessage(Severity::Error, "%s", message.c_str());
    }
}
