// The downloader's entry: reads and checks config.xml in the working directory, prints the
// banner and hands over to the update loop. Every configuration error ends the process with 1.

#include <xercesc/util/PlatformUtils.hpp>

#include "app/CConfig.h"
#include "app/CMapAutoDownload.h"
#include "app/IgnoredMaps.h"
#include "app/Utils.h"

namespace {

// Where an operator learns how to get a feed address. A placeholder on a reserved domain.
#define MAD_FEED_SERVICE_SITE "http://maps.example.org/"

// Prints a configuration message and gives the exit status of a configuration error.
int ConfigurationError(const char* message)
{
    PrintMessage("%s", message);
    WaitBeforeExiting();
    return 1;
}

template <typename... Args>
int ConfigurationError(const char* format, Args... args)
{
    PrintMessage(format, args...);
    WaitBeforeExiting();
    return 1;
}

void PrintBanner(const CConfig& config)
{
    PrintMessage("Xovra Map Downloader\n######\n");
    if (config.Frequency() != 0)
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
    PrintMessage("######\n\n");
}

}  // namespace

int main()
{
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
    if (!config.ProbeSavePath())
        return ConfigurationError(
            "Cannot write to the save directory specified (%s). Please ensure it exists and that "
            "you have write access to it.\n",
            config.SavePath());
    config.ReadCounts();
    config.ReadIgnoreList();
    if (!config.IsFrequencyAllowed())
        return ConfigurationError(
            "The frequency value specified in the config file is too low. Please increase it to "
            "a minimum of 60 seconds.\n");
    config.Release();

    PrintBanner(config);
    return RunMapAutoDownload(config.Settings());
}
