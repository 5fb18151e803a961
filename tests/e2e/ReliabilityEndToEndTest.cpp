#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "fs/CAtomicFile.h"
#include "support/FaultServer.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRunTimeoutMs = 20000;

std::string MapXml(unsigned int version, const std::string& body = "") {
    return "<map><meta><version>" + std::to_string(version) + "</version></meta>" + body + "</map>";
}

std::vector<std::string> TemporaryFiles(const std::string& directory) {
    std::vector<std::string> found;
    for (const std::string& name : ListDirectory(directory))
        if (CAtomicFile::IsTemporaryName(name.c_str())) found.push_back(name);
    return found;
}

// The real executable against a loopback server that lists one map, a.map at version 4 (and as
// many more, m0.map on, as the test sets), and answers the maps' downloads the way the test sets.
class ReliabilityRunTest : public ::testing::Test {
protected:
    enum class MapReply { Whole, Stall, SelfRedirect, ErrorPage, MoveSavePath };

    ReliabilityRunTest() {
        mkdir(m_work.File("maps").c_str(), 0755);
        WriteFile(m_work.File("maps/a.map"), MapXml(3));
    }

    void WriteConfig(const std::string& frequency = "0", const std::string& more = "") {
        WriteFile(m_work.File("config.xml"), "<config><url>" + m_server.Url("/feed.xml?e2e=1") + "</url><frequency>" +
                                                 frequency + "</frequency><savepath>" + m_work.File("maps") +
                                                 "</savepath>" + more + "</config>");
    }

    ProcessResult Run(const std::vector<std::string>& argv, const std::function<void(pid_t)>& onStarted = nullptr) {
        return RunProcess(argv, m_work.Path(), kRunTimeoutMs, onStarted);
    }

    void Handle(int fd, const std::string& request) {
        if (request.rfind("GET /feed.xml", 0) == 0) {
            std::string items;
            for (unsigned int i = 0; i <= m_moreMaps; ++i) {
                const std::string title = i == 0 ? "a.map" : "m" + std::to_string(i - 1) + ".map";
                items += "<item><title>" + title + "</title><link>" + m_server.Url("/maps/" + title) +
                         "</link><version>4</version></item>";
            }
            FaultServer::SendAll(fd,
                                 "HTTP/1.0 200 OK\r\n\r\n<rss><channel><time>t</time>" + items + "</channel></rss>");
            return;
        }
        const std::string body = MapXml(1, "<pad>" + std::string(100000, 'p') + "</pad>");
        if (m_reply == MapReply::ErrorPage) {
            FaultServer::SendAll(fd,
                                 "HTTP/1.0 200 OK\r\n\r\n<html xmlns=\"http://www.w3.org/1999/xhtml\"><body>"
                                 "<p>Internal error</p></body></html>");
            return;
        }
        if (m_reply == MapReply::SelfRedirect) {
            FaultServer::SendAll(fd, "HTTP/1.0 302 Found\r\nLocation: /maps/a.map\r\n\r\n");
            return;
        }
        if (m_reply == MapReply::Whole) {
            FaultServer::SendAll(
                fd, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
            return;
        }
        if (m_reply == MapReply::MoveSavePath) {
            // The save path is pointed at another directory while the body file is open.
            const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
            FaultServer::SendAll(fd, head + body.substr(0, 5000));
            ::symlink("maps-b", m_work.File("maps.new").c_str());
            ::rename(m_work.File("maps.new").c_str(), m_work.File("maps").c_str());
            FaultServer::SendAll(fd, body.substr(5000));
            return;
        }
        // More of the body than a download ever holds in memory (4 MiB), so its temporary file
        // exists, then nothing until the client goes away.
        const std::string big = MapXml(1, "<pad>" + std::string(5u << 20, 'p') + "</pad>");
        FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" +
                                     big.substr(0, (4u << 20) + 100000));
        char byte = 0;
        while (::recv(fd, &byte, 1, 0) > 0) {
        }
    }

    TempDir m_work;
    std::atomic<MapReply> m_reply{MapReply::Whole};
    std::atomic<unsigned int> m_moreMaps{0};
    FaultServer m_server{[this](FaultServer&, int fd, const std::string& request) { Handle(fd, request); }};
};

TEST_F(ReliabilityRunTest, MissingOrEmptySavePathIsAConfigurationError) {
    for (const std::string& savePath : {std::string(), std::string("<savepath></savepath>")}) {
        WriteFile(m_work.File("config.xml"), "<config><url>http://127.0.0.1:1/f</url>" + savePath + "</config>");
        const ProcessResult result = Run({DownloaderExecutable()});
        EXPECT_EQ(1, result.exitCode);
        EXPECT_EQ(
            "Your config file does not name a save directory. Please enter the directory to save maps "
            "into in a 'savepath' tag.\n",
            result.out);
    }
}

// Waiting between passes, each stop signal ends the daemon cleanly within a second.
TEST_F(ReliabilityRunTest, StopSignalsEndTheWaitBetweenPassesWithinASecond) {
    WriteConfig("60");
    for (const int signal : {SIGTERM, SIGINT}) {
        Clock::time_point sent;
        const ProcessResult result = Run({DownloaderExecutable()}, [&sent, signal](pid_t pid) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            sent = Clock::now();
            kill(pid, signal);
        });
        EXPECT_EQ(0, result.signal) << signal;
        EXPECT_EQ(0, result.exitCode) << signal;
        EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(1500)) << signal;
    }
}

// A parent may start the daemon with SIGCHLD ignored or with signals blocked, and exec keeps both:
// a hook's exit status is still told, and a stop still stops it.
TEST_F(ReliabilityRunTest, SignalsIgnoredOrBlockedByTheParentChangeNothing) {
    const auto wrapped = [](const std::string& option) {
        return std::vector<std::string>{"/usr/bin/python3", "-c",
                                        "import os, signal, sys\n"
                                        "signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
                                        "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM, signal.SIGINT})\n"
                                        "os.execv(sys.argv[1], sys.argv[1:])\n",
                                        DownloaderExecutable(), option};
    };
    WriteConfig("60", "<onupdate>exit 3</onupdate>");
    ProcessResult result = Run(wrapped("--once"));
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, result.out.find("Done\nHook onupdate exited with status 3\n")) << result.out;

    Clock::time_point sent;
    result = RunProcess(wrapped("-q"), m_work.Path(), 5000, [&sent](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        sent = Clock::now();
        kill(pid, SIGTERM);
    });
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(0, result.exitCode);
    EXPECT_LT(Clock::now() - sent, std::chrono::milliseconds(1500));
}

// Started with standard input and output closed, as a careless launcher may: those numbers must not
// go to the files and connections opened later, or a line printed while a map is written lands in
// the map. The server's answers (503 with Retry-After) lay the descriptors out so that big.map's
// file, open since more than a download holds in memory arrived, takes number 1 while first.map's
// line is printed.
TEST_F(ReliabilityRunTest, ClosedStandardDescriptorsNeverTakeAMapsOutput) {
    const std::string big = "<map><pad>" + std::string(5u << 20, 'p') + "</pad><meta><version>1</version></meta></map>";
    std::atomic<int> firstTries{0};
    std::atomic<int> bigTries{0};
    std::atomic<bool> bigAgain{false};
    std::atomic<bool> firstRefusedAgain{false};
    std::atomic<bool> firstDone{false};
    const auto after = [](const std::atomic<bool>& flag) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!flag && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    const auto refuse = [](int fd, const char* seconds) {
        FaultServer::SendAll(fd,
                             std::string("HTTP/1.0 503 Service Unavailable\r\nRetry-After: ") + seconds + "\r\n\r\n");
    };
    FaultServer server(
        [&](FaultServer&, int fd, const std::string& request) {
            if (request.find("/feed.xml") != std::string::npos) {
                std::string items;
                for (const char* title : {"first.map", "big.map"})
                    items += std::string("<item><title>") + title + "</title><link>" +
                             server.Url(std::string("/maps/") + title) + "</link><version>4</version></item>";
                FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n<rss><channel>" + items + "</channel></rss>");
            } else if (request.find("/first.map") != std::string::npos) {
                // Both first tries end at once; first.map's second one holds the lowest number
                // while big.map's second one connects.
                const int tries = ++firstTries;
                if (tries == 1) return refuse(fd, "1");
                if (tries == 2) {
                    after(bigAgain);
                    refuse(fd, "1");
                    firstRefusedAgain = true;
                    return;
                }
                FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\n\r\n" + MapXml(1));
                firstDone = true;
            } else {
                if (++bigTries == 1) return refuse(fd, "2");
                bigAgain = true;
                const std::size_t part = (4u << 20) + 100000;
                after(firstRefusedAgain);
                FaultServer::SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(big.size()) +
                                             "\r\n\r\n" + big.substr(0, part));
                // first.map's line is printed by the time this download returns, its file still open.
                after(firstDone);
                FaultServer::SendAll(fd, big.substr(part));
            }
        },
        true, true);
    WriteFile(m_work.File("config.xml"), "<config><url>" + server.Url("/feed.xml") + "</url><frequency>0</frequency>" +
                                             "<savepath>" + m_work.File("maps") + "</savepath>" +
                                             "<paralleldownloads>2</paralleldownloads></config>");
    const ProcessResult result = Run({"/usr/bin/python3", "-c",
                                      "import os, sys\n"
                                      "os.close(0)\n"
                                      "os.close(1)\n"
                                      "os.execv(sys.argv[1], sys.argv[1:])\n",
                                      DownloaderExecutable()});
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ(3, firstTries);
    std::string stamped = big;
    stamped.replace(stamped.find("<version>1<"), 11, "<version>4<");
    const std::string written = ReadFile(m_work.File("maps/big.map"));
    EXPECT_TRUE(stamped == written)
        << "big.map is not the map, from byte "
        << std::mismatch(stamped.begin(), stamped.end(), written.begin(), written.end()).first - stamped.begin();
    EXPECT_EQ(MapXml(4), ReadFile(m_work.File("maps/first.map")));
}

// Waits up to ten seconds for a file to appear.
bool AwaitFile(const std::string& path) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!FileExists(path) && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return FileExists(path);
}

std::string PeriodicBanner(const std::string& url, const std::string& savePath, unsigned int frequency) {
    return "Xovra Map Downloader\n######\nFeed: " + url + "\nMap save path: " + savePath + "\nUpdating every " +
           std::to_string(frequency) + " seconds with a full update every 10 updates\n######\n\n";
}

// The first periodic pass is a whole minute away; SIGUSR1 runs one at once.
TEST_F(ReliabilityRunTest, PassNowSignalRunsAPassWhateverTheSchedule) {
    WriteConfig("60");
    const std::string map = m_work.File("maps/a.map");
    bool updated = false;
    const ProcessResult result = Run({DownloaderExecutable()}, [&](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        kill(pid, SIGUSR1);
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!(updated = ReadFile(map).find("<version>4</version>") != std::string::npos) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kill(pid, SIGTERM);
    });
    EXPECT_TRUE(updated);
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(PeriodicBanner(m_server.Url("/feed.xml?e2e=1"), m_work.File("maps"), 60) +
                  "Checking RSS feed... \nUpdating a.map from version 3 to version 4... Done\n",
              result.out);
}

// SIGHUP reads config.xml again between passes: valid, its settings run the next pass; not valid,
// the reason is told and the settings in use stay.
TEST_F(ReliabilityRunTest, ReloadSignalTakesAValidConfigurationAndKeepsTheOldOneOtherwise) {
    WriteConfig("60");
    ASSERT_EQ(0, mkdir(m_work.File("other").c_str(), 0755));
    const std::string url = m_server.Url("/feed.xml?e2e=1");
    // The reloaded settings also name a metrics file, which the start did not have.
    const auto configure = [this, &url](const std::string& frequency) {
        WriteFile(m_work.File("config.xml"), "<config><url>" + url + "</url><frequency>" + frequency +
                                                 "</frequency><savepath>" + m_work.File("other") +
                                                 "</savepath><metricsfile>m.prom</metricsfile></config>");
    };
    bool arrived = false;
    const ProcessResult result = Run({DownloaderExecutable()}, [&](pid_t pid) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        configure("120");
        kill(pid, SIGHUP);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(pid, SIGUSR1);
        arrived = AwaitFile(m_work.File("other/a.map"));
        configure("30");
        kill(pid, SIGHUP);
        // Sent while the pass may still be finishing: taken at the tick after it, a second later.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        kill(pid, SIGTERM);
    });
    EXPECT_TRUE(arrived);
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(PeriodicBanner(url, m_work.File("maps"), 60) + "Configuration reloaded\n" +
                  PeriodicBanner(url, m_work.File("other"), 120) +
                  "Checking RSS feed... \nDownloading a.map... Done\n"
                  "The frequency value specified in the config file is too low. Please increase it to a "
                  "minimum of 60 seconds.\nConfiguration not reloaded, the settings in use stay\n",
              result.out);
    EXPECT_EQ(MapXml(3), ReadFile(m_work.File("maps/a.map")));
    EXPECT_NE(std::string::npos, ReadFile(m_work.File("m.prom")).find("\nmapautodownloader_maps_downloaded_total 1\n"));
}

// A log pipe whose reader went away: the writes fail, the daemon goes on and does its work.
TEST_F(ReliabilityRunTest, ClosedStandardOutputDoesNotKillTheDaemon) {
    WriteConfig();
    const ProcessResult result = Run({"/usr/bin/python3", "-c",
                                      "import os, subprocess, sys\n"
                                      "r, w = os.pipe()\n"
                                      "os.close(r)\n"
                                      "sys.exit(subprocess.call([sys.argv[1]], stdout=w) & 255)\n",
                                      DownloaderExecutable()});
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_NE(std::string::npos, ReadFile(m_work.File("maps/a.map")).find("<version>4</version>"));
}

// A map server's error page fails the run and keeps the old map; the run after the repair fetches
// the map, since nothing about the page was remembered.
TEST_F(ReliabilityRunTest, ErrorPageNeverReplacesAMapAcrossRuns) {
    WriteConfig();
    m_reply = MapReply::ErrorPage;
    ProcessResult result = Run({DownloaderExecutable()});
    EXPECT_EQ(3, result.exitCode);
    EXPECT_NE(std::string::npos, result.out.find("Updating a.map from version 3 to version 4... Failed\n"
                                                 "Error downloading a.map: not a map (root element html)\n"))
        << result.out;
    EXPECT_EQ(MapXml(3), ReadFile(m_work.File("maps/a.map")));

    m_reply = MapReply::Whole;
    result = Run({DownloaderExecutable()});
    EXPECT_EQ(0, result.exitCode) << result.out;
    EXPECT_NE(std::string::npos, ReadFile(m_work.File("maps/a.map")).find("<version>4</version>"));
}

// The largest maxredirects is warned about and acts as twenty; a map that redirects to itself
// fails at its first redirect.
TEST_F(ReliabilityRunTest, SelfRedirectEndsAtOnceWhateverMaxRedirectsSays) {
    WriteConfig("0", "<maxredirects>2147483647</maxredirects>");
    m_reply = MapReply::SelfRedirect;
    const ProcessResult result = Run({DownloaderExecutable()});
    EXPECT_EQ(3, result.exitCode);
    EXPECT_EQ("config.xml: maxredirects value '2147483647' is not valid, using 20\n", result.err);
    EXPECT_EQ(0u, result.out.find("Xovra Map Downloader\n")) << result.out;
    EXPECT_NE(std::string::npos, result.out.find("Updating a.map from version 3 to version 4... Failed\n"
                                                 "Error downloading a.map: Redirect loop\n"))
        << result.out;
    EXPECT_EQ(2, m_server.Connections());  // the feed and the map, never the map again
}

// Past a file-size limit the map's write fails and is reported with the system's reason.
TEST_F(ReliabilityRunTest, FileSizeLimitFailsTheWriteInsteadOfKillingTheDaemon) {
    WriteConfig();
    const ProcessResult result = Run({"/bin/sh", "-c", "ulimit -f 20 && exec \"$0\"", DownloaderExecutable()});
    EXPECT_EQ(0, result.signal);
    EXPECT_EQ(3, result.exitCode);  // run once, and the map did not arrive
    EXPECT_NE(std::string::npos, result.out.find("Error downloading a.map: Unable to write destination file " +
                                                 m_work.File("maps/a.map") + ": File too large\n"))
        << result.out;
    EXPECT_EQ(MapXml(3), ReadFile(m_work.File("maps/a.map")));
    EXPECT_EQ(std::vector<std::string>{}, TemporaryFiles(m_work.File("maps")));
}

// A save path that is a link pointed elsewhere during a download: the pass finishes in the
// directory it started in, leaves no file behind in either, and never touches the other's map.
TEST_F(ReliabilityRunTest, SavePathPointedElsewhereDuringADownloadLeavesNothingBehind) {
    ASSERT_EQ(0, ::rename(m_work.File("maps").c_str(), m_work.File("maps-a").c_str()));
    ASSERT_EQ(0, mkdir(m_work.File("maps-b").c_str(), 0755));
    WriteFile(m_work.File("maps-b/a.map"), MapXml(2));
    ASSERT_EQ(0, ::symlink("maps-a", m_work.File("maps").c_str()));
    WriteConfig();
    m_reply = MapReply::MoveSavePath;
    const ProcessResult result = Run({DownloaderExecutable()});
    EXPECT_EQ(0, result.exitCode) << result.out;
    EXPECT_NE(std::string::npos, ReadFile(m_work.File("maps-a/a.map")).find("<version>4</version>"));
    EXPECT_EQ(std::vector<std::string>{"a.map"}, ListDirectory(m_work.File("maps-a")));
    EXPECT_EQ(std::vector<std::string>{"a.map"}, ListDirectory(m_work.File("maps-b")));
    EXPECT_EQ(MapXml(2), ReadFile(m_work.File("maps-b/a.map")));
}

// Few descriptors and many downloads at once: a soft limit is raised to the hard one; a hard limit
// lowers the downloads at once, said once, and every map arrives without a false line.
TEST_F(ReliabilityRunTest, FewOpenFilesLowerTheDownloadsAtOnceAndNoLineLies) {
    struct Case {
        const char* ulimit;
        const char* said;
    };
    const Case cases[] = {
        {"ulimit -n 20",
         "Only 20 files and connections may be open at once: downloading up to 2 maps at a "
         "time instead of 32.\n"},
        {"ulimit -Sn 20", nullptr},
    };
    m_moreMaps = 32;
    WriteConfig("0", "<paralleldownloads>32</paralleldownloads>");
    for (const Case& c : cases) {
        for (unsigned int i = 0; i < m_moreMaps; ++i)
            WriteFile(m_work.File("maps/m" + std::to_string(i) + ".map"), MapXml(1));
        const ProcessResult result =
            Run({"/bin/sh", "-c", std::string(c.ulimit) + " && exec \"$0\"", DownloaderExecutable()});
        EXPECT_EQ(0, result.exitCode) << c.ulimit << "\n" << result.out;
        if (c.said != nullptr) {
            EXPECT_NE(std::string::npos, result.out.find(c.said)) << result.out;
        } else {
            // Raised to the hard limit, whatever that allows.
            EXPECT_EQ(std::string::npos, result.out.find("Only 20 ")) << result.out;
        }
        for (unsigned int i = 0; i < m_moreMaps; ++i) {
            const std::string title = "m" + std::to_string(i) + ".map";
            EXPECT_NE(std::string::npos,
                      result.out.find("Updating " + title + " from version 1 to version 4... Done\n"))
                << c.ulimit << "\n"
                << result.out;
        }
    }
}

// Killed in the middle of downloads again and again: each kill leaves the temporary files of its
// download, and each start removes what the kill before it left; the last start leaves nothing.
TEST_F(ReliabilityRunTest, EachStartRemovesWhatKilledDownloadsLeftBehind) {
    const int kills = 50;
    WriteConfig();
    m_reply = MapReply::Stall;
    const std::string maps = m_work.File("maps");
    std::vector<std::string> left;
    for (int i = 0; i < kills; ++i) {
        const std::vector<std::string> before = left;
        const ProcessResult result = Run({DownloaderExecutable()}, [&maps, &before](pid_t pid) {
            // Killed once this run's own temporary file exists.
            const auto deadline = Clock::now() + std::chrono::seconds(10);
            while (Clock::now() < deadline) {
                const std::vector<std::string> now = TemporaryFiles(maps);
                if (!now.empty() && now != before) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            kill(pid, SIGKILL);
        });
        ASSERT_EQ(SIGKILL, result.signal);
        left = TemporaryFiles(maps);
        // This run's files (the body and the client's file beside it), none of the run before.
        ASSERT_FALSE(left.empty()) << "kill " << i;
        for (const std::string& name : before)
            ASSERT_EQ(left.end(), std::find(left.begin(), left.end(), name)) << "kill " << i;
    }

    // Names that only look like the pattern, and a directory that has it, are not ours.
    const std::vector<std::string> strangers = {".a.map.mad-1234567.part", "a.map.mad-12345678.part",
                                                ".a.map.mad-12345678.partial", "notes.part"};
    for (const std::string& name : strangers) WriteFile(m_work.File("maps/" + name), "keep");
    ASSERT_EQ(0, mkdir(m_work.File("maps/.b.map.mad-abcdefgh.part").c_str(), 0755));
    WriteFile(m_work.File(".autoupdate.xml.mad-abcdefgh.part"), "left");

    m_reply = MapReply::Whole;
    const ProcessResult result = Run({DownloaderExecutable()});
    EXPECT_EQ(0, result.exitCode);
    std::vector<std::string> expected = strangers;
    expected.push_back(".b.map.mad-abcdefgh.part");
    expected.push_back("a.map");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, ListDirectory(maps));
    EXPECT_EQ(std::vector<std::string>{}, TemporaryFiles(m_work.Path()));
    EXPECT_NE(std::string::npos, ReadFile(m_work.File("maps/a.map")).find("<version>4</version>"));
}

}  // namespace
