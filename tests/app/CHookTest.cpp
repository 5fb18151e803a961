#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/CHook.h"
#include "app/CPassResult.h"
#include "support/TempDir.h"

namespace {

using Status = CHook::Status;

// A process that has ended: gone, or a zombie waiting for whoever inherited it.
bool Ended(pid_t pid) {
    if (kill(pid, 0) != 0) return true;
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    return paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0;
}

TEST(CHookTest, ReportsHowTheCommandEnded) {
    struct Case {
        const char* name;
        const char* command;
        unsigned int timeout;
        const char* shell;
        Status status;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"onupdate", "true", 60, "/bin/sh", Status::Succeeded, 0, ""},
        {"onupdate", "exit 3", 60, "/bin/sh", Status::Exited, 3, "Hook onupdate exited with status 3\n"},
        {"onfailure", "kill -USR1 $$", 0, "/bin/sh", Status::Signalled, SIGUSR1,
         "Hook onfailure killed by signal 10\n"},
        {"onfailure", "true", 60, "/nonexistent/sh", Status::NotStarted, 0,
         "Hook onfailure could not be started: No such file or directory\n"},
        {"onupdate", "sleep 30", 1, "/bin/sh", Status::TimedOut, 0, "Hook onupdate timed out after 1 s\n"},
    };
    for (const Case& c : cases) {
        const CHook hook(c.name, c.command, c.timeout, c.shell);
        const auto started = std::chrono::steady_clock::now();
        const CHook::Result result = hook.Run({}, nullptr);
        EXPECT_EQ(c.status, result.status) << c.command;
        EXPECT_EQ(c.code, result.code) << c.command;
        EXPECT_EQ(c.message, hook.Message(result)) << c.command;
        // The time-out case: ended by SIGTERM, without waiting for the SIGKILL grace.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4)) << c.command;
    }
}

// The hook sees only the three standard descriptors, reads /dev/null, and gets the pass's
// variables in place of any the program inherited.
TEST(CHookTest, StartsWithTheStandardDescriptorsAndThePassVariables) {
    TempDir dir;
    const int leaked = open(dir.Path().c_str(), O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaked, 3);
    setenv("MAD_PASS", "inherited", 1);
    CPassResult pass;
    pass.updated = {"a.map", "b c.map"};
    pass.failed = {"x.map"};
    pass.complete = false;
    const std::string out = dir.File("env");
    const CHook hook("onupdate",
                     "test -e /proc/self/fd/" + std::to_string(leaked) +
                         " && exit 1; read line && exit 2; "
                         "printf '%s|%s|%s|%s|%s' \"$MAD_UPDATED\" \"$MAD_FAILED\" \"$MAD_SAVE_PATH\" "
                         "\"$MAD_PASS\" \"${MAD_FEED_ERROR-unset}\" > " +
                         out,
                     60);
    const CHook::Result result = hook.Run(CHook::PassEnvironment(pass, "maps dir"), nullptr);
    close(leaked);
    unsetenv("MAD_PASS");
    EXPECT_EQ("", hook.Message(result));
    EXPECT_EQ("a.map\nb c.map|x.map|maps dir|incomplete|", ReadFile(out));
}

// After a big sync the list of titles is longer than the system lets one variable be: the hook
// still starts, with the whole titles that fit and the count of all.
TEST(CHookTest, ListTooLongForOneVariableIsCutAtATitle) {
    TempDir dir;
    CPassResult pass;
    for (int i = 0; i < 12000; ++i) pass.updated.push_back("a-rather-long-map-title-" + std::to_string(i) + ".map");
    const std::string out = dir.File("env");
    const CHook hook("onupdate", "printf '%s|%s' \"$MAD_UPDATED_COUNT\" \"$MAD_UPDATED\" > " + out, 60);
    const CHook::Result result = hook.Run(CHook::PassEnvironment(pass, "maps"), nullptr);
    ASSERT_EQ("", hook.Message(result));
    const std::string text = ReadFile(out);
    ASSERT_EQ("12000|", text.substr(0, 6));
    const std::string list = text.substr(6);
    EXPECT_LT(list.size(), 128u * 1024u);
    EXPECT_GT(list.size(), 120u * 1024u);
    // Whole titles from the first on, the last one complete.
    const size_t lastLine = list.rfind('\n') + 1;
    const size_t shown = static_cast<size_t>(std::count(list.begin(), list.end(), '\n')) + 1;
    EXPECT_EQ(pass.updated[0], list.substr(0, pass.updated[0].size()));
    EXPECT_EQ(pass.updated[shown - 1], list.substr(lastLine));
}

// A stop request ends the hook's whole group, children that ignore SIGTERM included, in about a
// second, however long the time-out.
TEST(CHookTest, StopRequestEndsTheWholeGroup) {
    TempDir dir;
    const std::string pidFile = dir.File("child");
    const CHook hook("onupdate", "trap '' TERM; sleep 30 & echo $! > " + pidFile + "; while :; do sleep 0.05; done", 0);
    const auto started = std::chrono::steady_clock::now();
    const CHook::Result result =
        hook.Run({}, [&] { return std::chrono::steady_clock::now() - started > std::chrono::milliseconds(300); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
    EXPECT_EQ(Status::Signalled, result.status);
    EXPECT_EQ(SIGKILL, result.code);
    const pid_t child = static_cast<pid_t>(std::atoi(ReadFile(pidFile).c_str()));
    ASSERT_GT(child, 0);
    bool ended = false;
    for (int i = 0; i < 100 && !ended; ++i) {
        ended = Ended(child);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(ended) << child;
}

}  // namespace
