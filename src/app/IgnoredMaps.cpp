#include "app/IgnoredMaps.h"

#include <memory>

std::vector<char*> vecIgnoredMaps;

namespace {

// Owner of every name buffer handed out; released at process exit.
std::vector<std::unique_ptr<char[]>>& NameStorage() {
    static std::vector<std::unique_ptr<char[]>> storage;
    return storage;
}

}  // namespace

char* AllocateIgnoredMapName() {
    NameStorage().push_back(std::make_unique<char[]>(kIgnoredMapNameSize));
    return NameStorage().back().get();
}
