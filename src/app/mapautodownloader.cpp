// The downloader's entry: reads the command line, reads and checks config.xml in the working
// directory, prints the banner and hands over to the update loop, with the means to read the
// configuration again on SIGHUP. Every configuration error at start ends the process with 1, a bad
// command line with 2. --check-config stops after the reading.

#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <string>
#include <xercesc/util/PlatformUtils.hpp>

#include "app/CCommandLine.h"
#include "app/CConfig.h"
#include "app/CMapAutoDownload.h"
#include "app/ExitStatus.h"
#include "app/IgnoredMaps.h"
#include "app/OpenFileLimit.h"
#include "app/Utils.h"

namespace {

// Where an operator learns how to get a feed address; set by the build (MAD_FEED_SERVICE_SITE).
#ifndef MAD_FEED_SERVICE_SITE
#error "MAD_FEED_SERVICE_SITE is set by the build"
#endif

// Prints the configuration's warnings on standard error, once its reading has ended.
void PrintWarnings(const CConfig& config) {
    for (const std::string& warning : config.Warnings()) PrintToStandardError(Severity::Warning, warning);
}

int UsageError(const std::string& error) {
    PrintToStandardError(Severity::Error,
                         Format("mapautodownloader: %s\n%sRun \"mapautodownloader --help\" for more.\n", error.c_str(),
                                CCommandLine::Synopsis().c_str()));
    return ExitStatus::kUsageError;
}

// --help and --version: success only when the text reached standard output.
int PrintInformation(const std::string& text) {
    fputs(text.c_str(), stdout);
    return fflush(stdout) == 0 && !ferror(stdout) ? ExitStatus::kSuccess : ExitStatus::kConfigurationError;
}

void PrintBanner(const CSettings& settings) {
    PrintMessage(Severity::Info, "Xovra Map Downloader\n######\n");
    if (settings.frequency != 0 && !settings.runOnce)
        PrintMessage(Severity::Info,
                     "Feed: %s\nMap save path: %s\nUpdating every %d seconds with a full update "
                     "every %d updates\n",
                     settings.feedUrl.c_str(), settings.savePath.c_str(), static_cast<int>(settings.frequency),
                     static_cast<int>(settings.fullCheckFrequency));
    else
        PrintMessage(Severity::Info, "Feed: %s\nMap save path: %s\nUpdating once then exiting\n",
                     settings.feedUrl.c_str(), settings.savePath.c_str());
    if (settings.downloadsPerUpdateMax != 0)
        PrintMessage(Severity::Info, "Downloading up to a maximum of %d maps per update.\n",
                     settings.downloadsPerUpdateMax);
    // Like the per-pass limit, shown only when the operator changed it.
    if (settings.parallelDownloads != CSettings::kDefaultParallelDownloads)
        PrintMessage(Severity::Info, "Downloading up to %u maps at a time.\n", settings.parallelDownloads);
    for (const std::string& proxy : settings.proxies.Shown())
        PrintMessage(Severity::Info, "Proxy: %s\n", proxy.c_str());
    if (!settings.maxRate.empty()) PrintMessage(Severity::Info, "Bandwidth cap: %s\n", settings.maxRate.c_str());
    if (settings.splay != 0 && settings.frequency != 0 && !settings.runOnce)
        PrintMessage(Severity::Info, "Each pass starts up to %u seconds late, at random.\n", settings.splay);
    PrintMessage(Severity::Info, "######\n\n");
}

// Prints the warnings noted so far and a configuration error; false, for the reader to return.
bool ConfigurationError(const CConfig& config, const char* message) {
    PrintWarnings(config);
    PrintMessage(Severity::Error, "%s", message);
    return false;
}

template <typename... Args>
bool ConfigurationError(const CConfig& config, const char* format, Args... args) {
    PrintWarnings(config);
    PrintMessage(Severity::Error, format, args...);
    return false;
}

// config.xml in the working directory, named with its full path in messages so an operator sees
// where the program looked.
std::string ConfigurationPath() {
    char directory[4096];
    if (!getcwd(directory, sizeof(directory))) return "config.xml";
    return std::string(directory) + (strcmp(directory, "/") == 0 ? "" : "/") + "config.xml";
}

// Reads and checks the configuration file at path, in the order its errors are reported. The
// first error goes to standard output and ends the reading with false; the warnings found until
// then go to standard error before it, or before the banner. checkOnly judges the save directory without writing to it.
bool ReadConfiguration(const std::string& path, bool checkOnly, std::vector<char*>& ignoredMaps, CSettings& settings) {
    CConfig config(ignoredMaps);
    auto fail = [&config](const char* format, auto... arguments) {
        return ConfigurationError(config, format, arguments...);
    };
    if (!config.Load(path.c_str())) return fail("Cannot read %s: %s\n", path.c_str(), config.LoadError().c_str());
    config.CheckElements();
    if (!config.HasUrl())
        return fail(
            "Your config file, config.xml does not contain a 'url' tag. To create a valid "
            "feed url, visit " MAD_FEED_SERVICE_SITE ".\n");
    switch (config.ReadUrl()) {
    case CConfig::UrlResult::Blank:
        return fail("Your config file contains a blank url tag. Please enter a valid feed url.\n");
    case CConfig::UrlResult::TooLong:
        return fail(
            "Your config file contains a url that is too long. Please "
            "enter a feed url of at most %u characters.\n",
            CMapAutoDownload::kMaxFeedUrlLength);
    case CConfig::UrlResult::Ok:
        break;
    }
    config.ReadFrequency();
    if (!config.ReadSavePath())
        return fail(
            "Your config file contains a savepath that is too long. Please "
            "enter a save path of at most %u characters.\n",
            CConfig::kTextSize - 1);
    if (!config.HasSavePath())
        return fail(
            "Your config file does not name a save directory. Please enter the directory "
            "to save maps into in a 'savepath' tag.\n");
    std::string saveReason;
    if (checkOnly ? !config.MaySaveInPath(saveReason) : !config.ProbeSavePath(saveReason))
        return fail(
            "Cannot write to the save directory specified (%s): %s. Please ensure it "
            "exists and that you have write access to it.\n",
            config.SavePath(), saveReason.c_str());
    if (!config.ReadCAFile())
        return fail(
            "Your config file contains a cafile path that is too long. Please "
            "enter a path of at most %u characters.\n",
            CConfig::kTextSize - 1);
    std::string caFileReason;
    if (!config.CheckCAFile(caFileReason))
        return fail("Cannot read the certificate file specified in cafile (%s): %s\n", config.CAFile().c_str(),
                    caFileReason.c_str());
    if (!config.ReadMetricsFile())
        return fail(
            "Your config file contains a metricsfile path that is too long. Please enter a "
            "path of at most %u characters.\n",
            CConfig::kTextSize - 1);
    const std::string overwritten = config.MetricsFileOverwrites();
    if (!overwritten.empty())
        return fail(
            "Your config file names the program's own %s as metricsfile. Please enter another "
            "path.\n",
            overwritten.c_str());
    config.ReadCounts();
    if (!config.ReadMaxMapSize())
        return fail(
            "Your config file contains a maxmapsize that is not a size. Please enter a "
            "number of bytes, optionally followed by k, M or G.\n");
    if (!config.ReadMaxRate())
        return fail(
            "Your config file contains a maxrate that cannot be read (%s). Please enter bytes per "
            "second with an optional k or M suffix, off, or a timetable such as "
            "\"08:00,512k 18:00,2M 23:30,off\".\n",
            config.MaxRate().c_str());
    std::string tooLongHook;
    if (!config.ReadHooks(tooLongHook))
        return fail(
            "Your config file contains an %s command that is too long. Please enter a "
            "command line of at most %u characters.\n",
            tooLongHook.c_str(), CConfig::kMaxHookCommandLength);
    std::string proxySource;
    if (!config.ReadProxy(proxySource, getenv))
        return fail("The proxy in %s does not read. Please write it as http://[user:password@]host:port.\n",
                    proxySource.c_str());
    config.ReadIgnoreList();
    if (!config.IsFrequencyAllowed())
        return fail(
            "The frequency value specified in the config file is too low. Please "
            "increase it to a minimum of 60 seconds.\n");
    config.Release();
    PrintWarnings(config);
    settings = config.Settings();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    OpenStandardStreams();
    const CCommandLine commandLine(argc, argv);
    switch (commandLine.GetAction()) {
    case CCommandLine::Action::Help:
        return PrintInformation(CCommandLine::Usage());
    case CCommandLine::Action::Version:
        return PrintInformation(CCommandLine::VersionText());
    case CCommandLine::Action::Invalid:
        return UsageError(commandLine.Error());
    case CCommandLine::Action::Run:
        break;
    }
    if (!commandLine.Directory().empty() && chdir(commandLine.Directory().c_str()) != 0) {
        PrintToStandardError(Severity::Error, Format("mapautodownloader: cannot enter %s: %s\n",
                                                     commandLine.Directory().c_str(), strerror(errno)));
        return ExitStatus::kUsageError;
    }

    // Before anything is opened: a daemon with many downloads at once and months to run takes all
    // the descriptors it is allowed.
    const unsigned long long openFiles = RaiseOpenFileLimit();
    InitializeTime();
    InitializeSockets();
    InstallStopHandlers();
    SetQuiet(commandLine.Quiet());
    // Started once for the life of the process and never terminated.
    xercesc::XMLPlatformUtils::Initialize();

    const std::string configPath = ConfigurationPath();
    CSettings settings;
    if (!ReadConfiguration(configPath, commandLine.CheckConfig(), vecIgnoredMaps, settings)) {
        WaitBeforeExiting();
        return ExitStatus::kConfigurationError;
    }
    if (commandLine.CheckConfig()) {
        PrintText(Severity::Info, CConfig::Describe(settings));
        return ExitStatus::kSuccess;
    }
    settings.runOnce = commandLine.RunOnce() || commandLine.DryRun();
    settings.dryRun = commandLine.DryRun();
    // Downloads at once beyond what the open-file limit holds would fail for want of descriptors.
    const auto fitOpenFiles = [openFiles](CSettings& wanted) {
        const unsigned int fitting = DownloadsWithinOpenFiles(wanted.parallelDownloads, openFiles);
        if (fitting >= wanted.parallelDownloads) return;
        PrintMessage(Severity::Warning,
                     "Only %llu files and connections may be open at once: downloading up to %u maps at a "
                     "time instead of %u.\n\n",
                     openFiles, fitting, wanted.parallelDownloads);
        wanted.parallelDownloads = fitting;
    };
    PrintBanner(settings);
    fitOpenFiles(settings);
    return RunMapAutoDownload(settings, [&configPath, &commandLine, &fitOpenFiles](CSettings& current) {
        // The names of each reload live as long as the process, as the first ones do.
        std::vector<char*> ignoredMaps;
        CSettings reloaded;
        if (!ReadConfiguration(configPath, false, ignoredMaps, reloaded)) {
            PrintMessage(Severity::Error, "Configuration not reloaded, the settings in use stay\n");
            return false;
        }
        reloaded.runOnce = commandLine.RunOnce();
        PrintMessage(Severity::Info, "Configuration reloaded\n");
        PrintBanner(reloaded);
        fitOpenFiles(reloaded);
        current = reloaded;
        return true;
    });
}
