#ifndef MAD_BENCH_BENCHDATA_H
#define MAD_BENCH_BENCHDATA_H

#include <string>

// Generates the benchmark's files: a large download, map files carrying a version record, and
// feeds listing them. Every map and every feed item carries the same version, so a pass over
// them finds everything up to date.
namespace bench_data {

constexpr unsigned int kMapVersion = 5;
constexpr const char* kFeedTime = "2024-01-01 00:00:00";

// A file of size bytes of pseudo-random data (nothing a transport could compress).
bool WriteRandomFile(const std::string& path, long long size);
// count map files named Title(prefix, i) in directory, each about bodyBytes long.
bool WriteMaps(const std::string& directory, const std::string& prefix, int count, int bodyBytes);
// A feed of count items whose titles are Title(prefix, i % distinct) (distinct 0: i) and whose
// links point at baseUrl + "/" + title, each at version.
bool WriteFeed(const std::string& path, const std::string& prefix, int count, const std::string& baseUrl,
               unsigned int version = kMapVersion, int distinct = 0);

std::string Title(const std::string& prefix, int index);

// The shapes a document of a given size may take: many empty sibling elements ("<o/>"), elements
// nested as deep as the reader allows (2,000 levels, again and again), one long text, one long
// comment, one long CDATA section, one long attribute value, empty siblings of 150,000
// different names in turn, or one long comment in a document in ISO-8859-1.
enum class Shape { Siblings, Nesting, Text, Comment, CData, AttributeValue, ManyNames, Latin1Comment };
const char* ShapeName(Shape shape);
// A map of about bytes, its version record first, then the shape under its root.
bool WriteShapedMap(const std::string& path, Shape shape, long long bytes, unsigned int version);
// A feed of about bytes: the shape under its channel, and no item.
bool WriteShapedFeed(const std::string& path, Shape shape, long long bytes);

}  // namespace bench_data

#endif
