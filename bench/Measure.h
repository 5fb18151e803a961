#ifndef MAD_BENCH_MEASURE_H
#define MAD_BENCH_MEASURE_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// Timing and child-process helpers of the benchmarks. Every figure that needs a clean peak
// resident size is taken in a child process, whose ru_maxrss wait4 reports.

// Seconds on the steady clock since an arbitrary origin.
double Now();

struct CommandRun {
    double seconds = 0;     // wall time from fork to reaped exit
    long maxRssKb = 0;      // the child's peak resident size
    double cpuSeconds = 0;  // user and system time of the child and of the children it waited for
    bool succeeded = false;
};

// Runs argv[0] (a path) with stdin and stderr on /dev/null and stdout into stdoutPath
// (or /dev/null when empty), in the working directory cwd (this one when empty).
CommandRun RunCommand(const std::vector<std::string>& argv, const std::string& stdoutPath = "",
                      const std::string& cwd = "");

// What a forked measurement hands back: its figures, or why it could not produce them.
struct ForkedRun {
    bool succeeded = false;
    std::string error;
    std::vector<double> values;
    long maxRssKb = 0;
};

// Runs body in a forked child. The body appends its figures to values and returns true, or
// sets error and returns false. Figures travel back through a pipe.
ForkedRun RunForked(const std::function<bool(std::vector<double>& values, std::string& error)>& body);

double Median(std::vector<double> values);

#endif
