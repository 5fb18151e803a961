// The streaming feed walk over arbitrary files: nothing crashes, every text handed out is
// terminated within its buffer, and a reader that keeps too little to hold the items (and so
// reads the feed a second time) hands out exactly what the one-read walk does.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/CFeedReader.h"

namespace {

struct Walked {
    CFeedReader::Result result;
    std::string time;
    std::vector<std::string> items;
};

Walked Walk(const std::string& path, std::size_t keepBytes) {
    CFeedReader reader({}, keepBytes);
    Walked walked;
    walked.result = reader.Walk(path.c_str(), [&walked](const CFeedReader::Item& item) {
        FUZZ_ASSERT(std::memchr(item.title, '\0', sizeof item.title) != nullptr);
        FUZZ_ASSERT(std::memchr(item.link, '\0', sizeof item.link) != nullptr);
        walked.items.push_back(std::string(item.title) + '\n' + item.link + '\n' + std::to_string(item.version));
        return true;
    });
    FUZZ_ASSERT(std::memchr(reader.Time(), '\0', CFeedReader::kTimeSize) != nullptr);
    walked.time = reader.Time();
    return walked;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string feed = XMLFuzzScratch().File("autoupdate.xml");
    WriteBytes(feed, data, size);
    const Walked whole = Walk(feed, CFeedReader::kDefaultKeepBytes);
    if (whole.result != CFeedReader::Result::Complete) FUZZ_ASSERT(whole.items.empty());
    const Walked twice = Walk(feed, 64);
    FUZZ_ASSERT(twice.result == whole.result);
    FUZZ_ASSERT(twice.time == whole.time);
    FUZZ_ASSERT(twice.items == whole.items);
    return 0;
}
