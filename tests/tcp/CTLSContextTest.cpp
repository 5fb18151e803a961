#include <gtest/gtest.h>
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

}  // namespace
