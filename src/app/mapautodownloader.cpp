// The downloader's entry: reads the command line, reads and checks config.xml in the working
// directory, prints the banner and hands over to the update loop. Every configuration error ends
// the process with 1, a bad command line with 2.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include <string>
#include <xercesc/util/PlatformUtils.hpp>

#include "app/CCommandLine.h"
#include "app/CConfig.h"
#include "app/CMapAutoDownload.h"
#include "app/ExitStatus.h"
#include "app/IgnoredMaps.h"
#include "app/Utils.h"

namespace {

// Where an operator learns how to get a feed address; set by the build (MAD_FEED_SERVICE_SITE).
#ifndef MAD_FEED_SERVICE_SITE
#error "MAD_FEED_SERVICE_SITE is set by the build"
#endif

// Prints a configuration message and gives the exit status of a configuration error.
int ConfigurationError(const char* message)
{
    PrintMessage("%s", message);
    WaitBeforeExiting();
    return ExitStatus::kConfigurationError;
}

template <typename... Args>
int ConfigurationError(const char* format, Args... args)
{
    PrintMessage(format, args...);
    WaitBeforeExiting();
    return ExitStatus::kConfigurationError;
}

int UsageError(const std::string& error)
{
    fprintf(stderr, "mapautodownloader: %s\n%sRun \"mapautodownloader --help\" for more.\n",
            error.c_str(), CCommandLine::Synopsis().c_str());
    return ExitStatus::kUsageError;
}

// --help and --version: success only when the text reached standard output.
int PrintInformation(const std::string& text)
{
    fputs(text.c_str(), stdout);
    return fflush(stdout) == 0 && !ferror(stdout) ? ExitStatus::kSuccess
                                                  : ExitStatus::kConfigurationError;
}

void PrintBanner(const CConfig& config, bool runOnce)
{
    PrintMessage("Xovra Map Downloader\n######\n");
    if (config.Frequency() != 0 && !runOnce)
        PrintMessage("Feed: %s\nMap save path: %s\nUpdating every %d seconds with a full update "
                     "every %d updates\n",
                     config.FeedUrl(), config.SavePath(), static_cast<int>(config.Frequency()),
                     static_cast<int>(config.FullCheckFrequency()));
    else
        PrintMessage("Feed: %s\nMap save path: %s\nUpdating once then exiting\n",
                     config.FeedUrl(), config.SavePath());
    if (config.DownloadsPerUpdateMax() != 0)
        PrintMessage("Downloading up to a maximum of %d maps per update.\n",
                     config.DownloadsPerUpdateMax());
    // Like the per-pass limit, shown only when the operator changed it.
    if (config.ParallelDownloads() != CSettings::kDefaultParallelDownloads)
        PrintMessage("Downloading up to %u maps at a time.\n", config.ParallelDownloads());
    PrintMessage("######\n\n");
}

}  // namespace

int main(int argc, char** argv)
{
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
        fprintf(stderr, "mapautodownloader: cannot enter %s: %s\n", commandLine.Directory().c_str(),
                strerror(errno));
        return ExitStatus::kUsageError;
    }

    InitializeTime();
    InitializeSockets();
    InstallStopHandlers();
    // Started once for the life of the process and never terminated.
    xercesc::XMLPlatformUtils::Initialize();

    CConfig config(vecIgnoredMaps);
    if (!config.Load("config.xml"))
        return ConfigurationError("Cannot read config.xml: %s\n", config.LoadError().c_str());
    if (!config.HasUrl())
        return ConfigurationError(
            "Your config file, config.xml does not contain a 'url' tag. To create a valid feed "
            "url, visit " MAD_FEED_SERVICE_SITE ".\n");
    switch (config.ReadUrl()) {
    case CConfig::UrlResult::Blank:
        return ConfigurationError(
            "Your config file contains a blank url tag. Please enter a valid feed url.\n");
    case CConfig::UrlResult::TooLong:
        return ConfigurationError("Your config file contains a url that is too long. Please "
                                  "enter a feed url of at most %u characters.\n",
                                  CMapAutoDownload::kMaxFeedUrlLength);
    case CConfig::UrlResult::Ok:
        break;
    }
    config.ReadFrequency();
    if (!config.ReadSavePath())
        return ConfigurationError("Your config file contains a savepath that is too long. Please "
                                  "enter a save path of at most %u characters.\n",
                                  CConfig::kTextSize - 1);
    if (!config.HasSavePath())
        return ConfigurationError(
            "Your config file does not name a save directory. Please enter the directory to save "
            "maps into in a 'savepath' tag.\n");
    std::string saveReason;
    if (!config.ProbeSavePath(saveReason))
        return ConfigurationError(
            "Cannot write to the save directory specified (%s): %s. Please ensure it exists and "
            "that you have write access to it.\n",
            config.SavePath(), saveReason.c_str());
    if (!config.ReadCAFile())
        return ConfigurationError("Your config file contains a cafile path that is too long. Please "
                                  "enter a path of at most %u characters.\n",
                                  CConfig::kTextSize - 1);
    std::string caFileReason;
    if (!config.CheckCAFile(caFileReason))
        return ConfigurationError("Cannot read the certificate file specified in cafile (%s): %s\n",
                                  config.CAFile().c_str(), caFileReason.c_str());
    config.ReadCounts();
    if (!config.ReadMaxMapSize())
        return ConfigurationError("Your config file contains a maxmapsize that is not a size. Please "
                                  "enter a number of bytes, optionally followed by k, M or G.\n");
    if (!config.CappedMaxRedirects().empty())
        fprintf(stderr, "config.xml: maxredirects value '%s' is not valid, using %u\n",
                config.CappedMaxRedirects().c_str(), CSettings::kMaximumRedirects);
    config.ReadIgnoreList();
    if (!config.IsFrequencyAllowed())
        return ConfigurationError(
            "The frequency value specified in the config file is too low. Please increase it to "
            "a minimum of 60 seconds.\n");
    config.Release();

    PrintBanner(config, commandLine.RunOnce() || commandLine.DryRun());
    CSettings settings = config.Settings();
    settings.runOnce = commandLine.RunOnce() || commandLine.DryRun();
    settings.dryRun = commandLine.DryRun();
    return RunMapAutoDownload(settings);
}
