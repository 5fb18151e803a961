#ifndef MAD_BENCH_DOMREFERENCE_H
#define MAD_BENCH_DOMREFERENCE_H

#include <string>

class CMapVersionCache;

// The reference the streaming pass is measured against: the pass as it was before it streamed.
// The feed is read whole into a DOM (namespace processing on, as it was) and walked; each map's
// version is read from a DOM of the whole map. It leaves out the old wrapper tree, so it is a
// little faster than the old pass was: ratios against it are conservative.
namespace dom_reference {

// Reads the version record of the map at path from a DOM of it; -2 without one.
int MapVersion(const std::string& path);

// One up-to-date pass over the stored feed file: every item's map version (through cache, when
// given, as the old pass did). False, with error set, when the feed does not read or some map
// is not at the feed's version.
bool Pass(const std::string& feedFile, const std::string& savePath, CMapVersionCache* cache, std::string& error);

}  // namespace dom_reference

#endif
