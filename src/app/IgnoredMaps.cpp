#include "app/IgnoredMaps.h"

#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

std::vector<char*> vecIgnoredMaps;

namespace {

// Owner of every name buffer handed out, by its text; released at process exit.
std::unordered_map<std::string, std::unique_ptr<char[]>>& NameStorage() {
    static std::unordered_map<std::string, std::unique_ptr<char[]>> storage;
    return storage;
}

}  // namespace

char* IgnoredMapName(const char* name) {
    const std::string text(name, strnlen(name, kIgnoredMapNameSize - 1));
    std::unique_ptr<char[]>& buffer = NameStorage()[text];
    if (!buffer) {
        buffer = std::make_unique<char[]>(kIgnoredMapNameSize);
        memcpy(buffer.get(), text.data(), text.size());
    }
    return buffer.get();
}
