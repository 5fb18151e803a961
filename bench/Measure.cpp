#include "Measure.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

bool WaitChild(pid_t pid, int& status, struct rusage& usage) {
    for (;;) {
        if (::wait4(pid, &status, 0, &usage) == pid) return true;
        if (errno != EINTR) return false;
    }
}

void WriteAll(int fd, const std::string& text) {
    const char* data = text.data();
    std::size_t size = text.size();
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return text;
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

double Now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

CommandRun RunCommand(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& cwd) {
    CommandRun run;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const double start = Now();
    const pid_t pid = ::fork();
    if (pid < 0) return run;
    if (pid == 0) {
        const int devNull = ::open("/dev/null", O_RDWR);
        const int out = stdoutPath.empty() ? devNull : ::open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (devNull < 0 || out < 0 || (!cwd.empty() && ::chdir(cwd.c_str()) != 0)) _exit(126);
        ::dup2(devNull, 0);
        ::dup2(out, 1);
        ::dup2(devNull, 2);
        ::execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (!WaitChild(pid, status, usage)) return run;
    run.seconds = Now() - start;
    run.maxRssKb = usage.ru_maxrss;
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

ForkedRun RunForked(const std::function<bool(std::vector<double>& values, std::string& error)>& body) {
    ForkedRun run;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        run.error = "pipe failed";
        return run;
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        run.error = "fork failed";
        return run;
    }
    if (pid == 0) {
        ::close(fds[0]);
        std::vector<double> values;
        std::string error;
        const bool ok = body(values, error);
        std::ostringstream report;
        report.precision(17);
        report << (ok ? "ok" : "error") << '\n' << error << '\n';
        for (double value : values) report << value << '\n';
        std::fflush(nullptr);
        WriteAll(fds[1], report.str());
        _exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    const std::string text = ReadAll(fds[0]);
    ::close(fds[0]);
    int status = 0;
    struct rusage usage {};
    if (!WaitChild(pid, status, usage)) {
        run.error = "wait failed";
        return run;
    }
    run.maxRssKb = usage.ru_maxrss;
    std::istringstream in(text);
    std::string verdict;
    std::getline(in, verdict);
    std::getline(in, run.error);
    for (double value; in >> value;) run.values.push_back(value);
    run.succeeded = verdict == "ok" && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.succeeded && run.error.empty()) run.error = "measurement child died";
    return run;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}
