// Loading arbitrary state files: never a crash, and what loads is saved to a file that loads
// again with the same entries.
#include <cstdint>

#include "FuzzSupport.h"
#include "app/CMapVersionCache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FuzzScratch scratch;
    const std::string state = scratch.File("mapversions.dat");
    WriteBytes(state, data, size);
    CMapVersionCache cache([] { return int64_t{0}; });
    if (!cache.Load(state)) {
        FUZZ_ASSERT(cache.Size() == 0);
        return 0;
    }
    const std::string saved = scratch.File("saved.dat");
    FUZZ_ASSERT(cache.Save(saved));
    CMapVersionCache reloaded;
    FUZZ_ASSERT(reloaded.Load(saved));
    FUZZ_ASSERT(reloaded.Size() == cache.Size());
    return 0;
}
