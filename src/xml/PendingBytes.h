#ifndef MAD_XML_PENDINGBYTES_H
#define MAD_XML_PENDINGBYTES_H

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

// The readers in front of the parser make their output in a string and hand it out over as many
// reads as the parser's buffer needs. Copies what is left of pending from pos on into buffer from
// written on, up to size, and moves pos and written past it; false when nothing was left.
inline bool DrainPending(const std::string& pending, std::size_t& pos, char* buffer, std::size_t size,
                         std::size_t& written) {
    if (pos >= pending.size() || written >= size) return false;
    const std::size_t n = std::min(size - written, pending.size() - pos);
    std::memcpy(buffer + written, pending.data() + pos, n);
    written += n;
    pos += n;
    return true;
}

#endif
