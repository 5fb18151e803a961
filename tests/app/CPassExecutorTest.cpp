#include <gtest/gtest.h>

#include <sys/stat.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/CPassExecutor.h"
#include "fs/CAtomicFile.h"
#include "http/CHTTPClient.h"
#include "support/TempDir.h"
#include "tcp/CTCPImpl.h"

namespace {

// Downloads that write their map's name into it, committed by the executor: each map's line comes
// only once the map is in place, and one that cannot be put in place (a directory has its name)
// ends as its completion says, with no file left, whether one worker or several fetch them.
TEST(PassExecutorTest, MapLineComesOnlyOnceTheMapIsInPlace) {
    for (const unsigned int workers : {1u, 4u}) {
        TempDir dir;
        ASSERT_EQ(0, mkdir(dir.File("taken").c_str(), 0755));
        CTCPImpl tcp;
        CHTTPClient own(&tcp);
        std::string head;
        std::vector<std::string> seen;
        CPassExecutor executor(
            workers, [](CTCPImpl&, CHTTPClient&) {}, own,
            [&dir](CHTTPClient&, const CPassPlanner::Fetch& fetch) {
                CPassExecutor::Outcome outcome;
                outcome.pending = std::make_unique<CAtomicFile>(dir.File(fetch.title), CAtomicFile::Sync::Data);
                if (!outcome.pending->Open() || !outcome.pending->Write(fetch.title.data(), fetch.title.size()))
                    return CPassExecutor::Outcome();
                outcome.downloaded = true;
                outcome.text = "Done\n";
                outcome.committed = [](CPassExecutor::Outcome& done, int error) {
                    if (error == 0) return;
                    done.downloaded = false;
                    done.text = std::string("Failed: ") + std::strerror(error) + "\n";
                };
                return outcome;
            },
            [] { return false; },
            [&](Severity, const std::string& text) {
                if (text != "Done\n") {
                    head = text;
                    seen.push_back(text);
                    return;
                }
                seen.push_back(ReadFile(dir.File(head)) == head ? "in place" : "not in place");
            });
        CPassResult result;
        for (const char* title : {"a", "taken", "b", "c", "d", "e"}) {
            CPassPlanner::Fetch fetch;
            fetch.title = title;
            ASSERT_TRUE(executor.Start(title, fetch));
        }
        executor.Finish(result, CDirectory());

        EXPECT_EQ((std::vector<std::string>{"a", "in place", "taken", "Failed: Is a directory\n", "b", "in place", "c",
                                            "in place", "d", "in place", "e", "in place"}),
                  seen)
            << workers;
        EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "d", "e"}), result.updated);
        EXPECT_EQ(std::vector<std::string>{"taken"}, result.failed);
        EXPECT_EQ((std::vector<std::string>{"a", "b", "c", "d", "e", "taken"}), ListDirectory(dir.Path()));
    }
}

// A map's settle step (its check and file, made after its download returned) decides its line: a
// map it fails or that throws ends failed with no file left, and the maps after it are fetched
// and put in place as usual.
TEST(PassExecutorTest, SettleStepDecidesTheMapAndItsFailuresLeaveNoFile) {
    for (const unsigned int workers : {1u, 4u}) {
        TempDir dir;
        CTCPImpl tcp;
        CHTTPClient own(&tcp);
        std::vector<std::string> seen;
        CPassExecutor executor(
            workers, [](CTCPImpl&, CHTTPClient&) {}, own,
            [&dir](CHTTPClient&, const CPassPlanner::Fetch& fetch) {
                CPassExecutor::Outcome outcome;
                outcome.settle = [&dir, title = fetch.title](CPassExecutor::Outcome& done) {
                    done.pending = std::make_unique<CAtomicFile>(dir.File(title), CAtomicFile::Sync::Data);
                    if (!done.pending->Open() || !done.pending->Write(title.data(), title.size()))
                        throw std::runtime_error("no file");
                    if (title == "boom") throw std::runtime_error("settle failed");
                    if (title == "refused") {
                        done.pending.reset();
                        done.text = "Failed: refused\n";
                        return;
                    }
                    done.downloaded = true;
                    done.text = "Done\n";
                };
                return outcome;
            },
            [] { return false; }, [&](Severity, const std::string& text) { seen.push_back(text); });
        CPassResult result;
        for (const char* title : {"a", "boom", "refused", "b"}) {
            CPassPlanner::Fetch fetch;
            fetch.title = title;
            ASSERT_TRUE(executor.Start(title, fetch));
        }
        executor.Finish(result, CDirectory());

        EXPECT_EQ((std::vector<std::string>{"a", "Done\n", "boom",
                                            "Failed\nError downloading boom: unexpected internal error\n", "refused",
                                            "Failed: refused\n", "b", "Done\n"}),
                  seen)
            << workers;
        EXPECT_EQ((std::vector<std::string>{"a", "b"}), result.updated);
        EXPECT_EQ((std::vector<std::string>{"a", "b"}), ListDirectory(dir.Path()));
    }
}

}  // namespace
