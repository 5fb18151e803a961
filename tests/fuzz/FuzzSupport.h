#ifndef MAD_TESTS_FUZZ_FUZZSUPPORT_H
#define MAD_TESTS_FUZZ_FUZZSUPPORT_H

#include <dirent.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <xercesc/util/PlatformUtils.hpp>

// Helpers shared by the fuzz targets. A property that does not hold aborts, which libFuzzer
// reports as a finding together with the input.
#define FUZZ_ASSERT(condition)                                                                    \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

// A private directory for the files one fuzzing process works on, removed at exit.
class FuzzScratch {
public:
    FuzzScratch() {
        // In memory where possible: the document layer flushes every file it writes to disk.
        char inMemory[] = "/dev/shm/mad-fuzz-XXXXXX";
        char onDisk[] = "/tmp/mad-fuzz-XXXXXX";
        const char* made = ::mkdtemp(inMemory);
        if (made == nullptr) made = ::mkdtemp(onDisk);
        if (made == nullptr) std::abort();
        m_path = made;
    }
    ~FuzzScratch() {
        // Only flat files are made here.
        if (DIR* listing = ::opendir(m_path.c_str())) {
            while (const dirent* entry = ::readdir(listing))
                if (entry->d_name[0] != '.' || (entry->d_name[1] != '\0' && entry->d_name[1] != '.'))
                    ::unlink((m_path + "/" + entry->d_name).c_str());
            ::closedir(listing);
        }
        ::rmdir(m_path.c_str());
    }
    FuzzScratch(const FuzzScratch&) = delete;
    FuzzScratch& operator=(const FuzzScratch&) = delete;

    std::string File(const char* name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// For the targets over XML: the library started once, and this process's scratch directory.
inline FuzzScratch& XMLFuzzScratch() {
    static const bool started = (xercesc::XMLPlatformUtils::Initialize(), true);
    (void)started;
    static FuzzScratch scratch;
    return scratch;
}

inline void WriteBytes(const std::string& path, const void* data, std::size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
}

inline std::string ReadBytes(const std::string& path) {
    std::string text;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return text;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    std::fclose(file);
    return text;
}

#endif
