#ifndef MAD_TESTS_APP_SCOPEDCHDIR_H
#define MAD_TESTS_APP_SCOPEDCHDIR_H

#include <unistd.h>
#include <climits>
#include <stdexcept>
#include <string>

// Makes a directory the process's working directory for the life of the object, then goes back.
// The update pass keeps autoupdate.xml in the working directory.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& directory) {
        char previous[PATH_MAX];
        if (!getcwd(previous, sizeof(previous)) || chdir(directory.c_str()) != 0)
            throw std::runtime_error("cannot change into " + directory);
        m_previous = previous;
    }
    ~ScopedChdir() {
        if (chdir(m_previous.c_str()) != 0) {
            // Nothing sensible to do in a destructor; the next test's chdir fails loudly instead.
        }
    }
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;

private:
    std::string m_previous;
};

#endif
