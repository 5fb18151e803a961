#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/CCommandLine.h"

namespace {

using Action = CCommandLine::Action;

CCommandLine Parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "mapautodownloader");
    return CCommandLine(static_cast<int>(arguments.size()), arguments.data());
}

TEST(CommandLineTest, ReadsEveryFormOfTheOptions) {
    struct Case {
        std::vector<const char*> arguments;
        Action action;
        std::string directory;
        bool once;
        bool dryRun = false;
    };
    const Case cases[] = {
        {{}, Action::Run, "", false},
        {{"--once"}, Action::Run, "", true},
        {{"-C", "/srv/game"}, Action::Run, "/srv/game", false},
        {{"--directory", "rel dir", "--once"}, Action::Run, "rel dir", true},
        {{"--directory=/d"}, Action::Run, "/d", false},
        {{"--dry-run", "-C", "d"}, Action::Run, "d", false, true},
        // A directory may look like an option: it is taken as the option's value.
        {{"-C", "--once"}, Action::Run, "--once", false},
        {{"--once", "--help", "--bogus"}, Action::Help, "", true},
        {{"-h"}, Action::Help, "", false},
        {{"--version", "stray"}, Action::Version, "", false},
    };
    for (const Case& c : cases) {
        const CCommandLine line = Parse(c.arguments);
        const std::string shown = c.arguments.empty() ? "(none)" : c.arguments[0];
        EXPECT_EQ(c.action, line.GetAction()) << shown;
        EXPECT_EQ(c.directory, line.Directory()) << shown;
        EXPECT_EQ(c.once, line.RunOnce()) << shown;
        EXPECT_EQ(c.dryRun, line.DryRun()) << shown;
    }
}

TEST(CommandLineTest, RefusesWhatItDoesNotKnowAndSaysWhat) {
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"-once"}, "unknown option -once"},
        {{"config.xml"}, "unexpected argument config.xml"},
        {{"--once", "-C"}, "option -C needs a directory"},
        {{"--directory", ""}, "option --directory needs a directory"},
        {{"--directory="}, "option --directory needs a directory"},
        {{"--bogus", "--help"}, "unknown option --bogus"},
        {{"--check-config", "-q", "--dry-run"}, "--dry-run and --check-config exclude each other"},
    };
    for (const auto& c : cases) {
        const CCommandLine line = Parse(c.first);
        EXPECT_EQ(Action::Invalid, line.GetAction()) << c.second;
        EXPECT_EQ(c.second, line.Error());
    }
}

}  // namespace
