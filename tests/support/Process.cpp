#include "support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>

namespace {

void AppendAvailable(int fd, std::string& out, bool& open) {
    char buffer[65536];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        open = false;
    }
}

// The environment of the child, built before fork: only exec follows it there.
std::vector<std::string> ChildEnvironment(JournalStream journal, int outFd, int errFd) {
    std::vector<std::string> environment;
    for (char** variable = environ; *variable; ++variable) {
        if (std::string(*variable).rfind("JOURNAL_STREAM=", 0) != 0) environment.emplace_back(*variable);
    }
    if (journal != JournalStream::None) {
        struct stat status;
        if (fstat(journal == JournalStream::StandardOutput ? outFd : errFd, &status) != 0) {
            throw std::runtime_error("fstat failed");
        }
        environment.push_back("JOURNAL_STREAM=" + std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino));
    }
    return environment;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& cwd, int timeoutMs,
                         const std::function<void(pid_t)>& onStarted, JournalStream journal, int errorFd) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::vector<std::string> environment = ChildEnvironment(journal, outPipe[1], errPipe[1]);
    std::vector<char*> environmentPointers;
    for (const auto& variable : environment) environmentPointers.push_back(const_cast<char*>(variable.c_str()));
    environmentPointers.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        int devNull = ::open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(outPipe[1], 1);
        dup2(errorFd != -1 ? errorFd : errPipe[1], 2);
        if (::chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execve(args[0], args.data(), environmentPointers.data());
        _exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (onStarted) onStarted(pid);

    ProcessResult result;
    bool outOpen = true;
    bool errOpen = errorFd == -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (outOpen || errOpen) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        int ready = ::poll(fds, 2, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (outOpen && fds[0].revents) AppendAvailable(outPipe[0], result.out, outOpen);
        if (errOpen && fds[1].revents) AppendAvailable(errPipe[0], result.err, errOpen);
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

const char* DownloaderExecutable() { return MAD_EXECUTABLE; }

bool UseUpFileDescriptors() {
    // The lowest free descriptor becomes the limit: nothing more can be opened.
    const int lowestFree = dup(0);
    if (lowestFree < 0) return false;
    close(lowestFree);
    const rlimit limit{static_cast<rlim_t>(lowestFree), static_cast<rlim_t>(lowestFree)};
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}
