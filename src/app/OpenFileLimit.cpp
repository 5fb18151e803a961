#include "app/OpenFileLimit.h"

#include <sys/resource.h>
#include <algorithm>

unsigned long long RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return static_cast<unsigned long long>(RLIM_INFINITY);
    if (limit.rlim_cur != limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return static_cast<unsigned long long>(limit.rlim_cur);
}

unsigned int DownloadsWithinOpenFiles(unsigned int requested, unsigned long long openFiles) {
    if (openFiles <= kBaseOpenFiles + kOpenFilesPerDownload) return 1;
    const unsigned long long fit = (openFiles - kBaseOpenFiles) / kOpenFilesPerDownload;
    return static_cast<unsigned int>(std::clamp<unsigned long long>(fit, 1, std::max(requested, 1u)));
}
