#ifndef MAD_APP_IGNOREDMAPS_H
#define MAD_APP_IGNOREDMAPS_H

#include <vector>

// Size in bytes of one ignored-map name buffer (at most 259 characters).
constexpr unsigned int kIgnoredMapNameSize = 260;

// The process-wide list of map titles that are never downloaded. The configuration appends to
// it; each update pass keeps a copy of the pointers only. The names live until the process ends.
extern std::vector<char*> vecIgnoredMaps;

// A new zero-filled name buffer of kIgnoredMapNameSize bytes that lives until the process ends.
char* AllocateIgnoredMapName();

#endif
