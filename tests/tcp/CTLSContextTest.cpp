#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <future>
#include <string>

#include "support/TempDir.h"
#include "tcp/CTLSContext.h"

namespace {

// An operator replacing the cafile of a running daemon: the downloads that find it missing
// fail, and the first one after it is back succeeds without a restart.
TEST(TLSContextTest, ContextThatCouldNotBeMadeIsTriedAgain) {
    TempDir dir;
    const std::string caFile = dir.File("feed-ca.pem");
    const CTLSContext context(caFile);
    std::string error;
    EXPECT_EQ(context.Context(error), nullptr);
    EXPECT_EQ(error.rfind("TLS setup failed: cannot load " + caFile, 0), 0u) << error;

    WriteFile(caFile, ReadFile("/etc/ssl/certs/ca-certificates.crt"));
    error.clear();
    EXPECT_NE(context.Context(error), nullptr) << error;
}

// A cafile that went wrong after the start is named with the system's reason, as the start names
// it, and one that became a FIFO is refused without waiting for a writer.
TEST(TLSContextTest, CAFileGoneWrongSaysWhy) {
    TempDir dir;
    ASSERT_EQ(0, mkfifo(dir.File("fifo.pem").c_str(), 0644));
    const std::pair<std::string, std::string> cases[] = {
        {dir.File("missing.pem"), "No such file or directory"},
        {dir.Path(), "Is a directory"},
        {dir.File("fifo.pem"), "not a regular file"},
    };
    for (const auto& [path, reason] : cases) {
        const CTLSContext context(path);
        std::string error;
        auto made = std::async(std::launch::async, [&] { return context.Context(error); });
        if (made.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            // A load waiting for a writer: one that comes and goes lets it end.
            ::close(::open(path.c_str(), O_WRONLY | O_NONBLOCK));
            ADD_FAILURE() << path << " was waited on";
        }
        EXPECT_EQ(made.get(), nullptr);
        EXPECT_EQ(error, "TLS setup failed: cannot load " + path + ": " + reason);
    }
}

}  // namespace
