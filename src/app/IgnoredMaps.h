#ifndef MAD_APP_IGNOREDMAPS_H
#define MAD_APP_IGNOREDMAPS_H

#include <vector>

// Size in bytes of one ignored-map name buffer (at most 259 characters).
constexpr unsigned int kIgnoredMapNameSize = 260;

// The process-wide list of map titles that are never downloaded. The configuration appends to
// it; each update pass keeps a copy of the pointers only. The names live until the process ends.
extern std::vector<char*> vecIgnoredMaps;

// The zero-filled name buffer of kIgnoredMapNameSize bytes holding name (cut to fit), which lives
// until the process ends. A name given before gets the same buffer, so reading the configuration
// again, as every reload does, takes memory only for names it has not seen.
char* IgnoredMapName(const char* name);

#endif
