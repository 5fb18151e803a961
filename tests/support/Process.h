#ifndef MAD_TESTS_PROCESS_H
#define MAD_TESTS_PROCESS_H

#include <sys/types.h>
#include <functional>
#include <string>
#include <vector>

struct ProcessResult {
    int exitCode = -1;      // exit status, or -1 when killed by a signal
    int signal = 0;         // the terminating signal, if any
    bool timedOut = false;  // killed because it ran longer than the time-out
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
};

// Which of the child's output pipes JOURNAL_STREAM names, as systemd names the journal's stream.
enum class JournalStream { None, StandardOutput, StandardError };

// Runs argv[0] (a path) with the arguments, in the working directory cwd, with standard input
// from /dev/null, and collects its output. A child still running after timeoutMs is killed
// with SIGKILL and reported as timedOut. onStarted, when given, learns the child's pid as soon as
// it exists (to signal it from elsewhere while it runs). The child's environment is the test's,
// with JOURNAL_STREAM set to the device and inode of the pipe journal names (or removed for None).
// errorFd, when not -1, is given to the child as its standard error instead of a pipe (a terminal,
// say); err then stays empty.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd, int timeoutMs,
                         const std::function<void(pid_t)>& onStarted = nullptr,
                         JournalStream journal = JournalStream::None, int errorFd = -1);

// Lowers this process's limit of open files to the descriptors it has open, so the next one it
// asks for fails with EMFILE. False when it cannot. Meant for a forked child.
bool UseUpFileDescriptors();

// The path of the built mapautodownloader executable.
const char* DownloaderExecutable();

#endif
