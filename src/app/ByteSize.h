#ifndef MAD_APP_BYTESIZE_H
#define MAD_APP_BYTESIZE_H

#include <string>

// Sizes as an operator writes them: a decimal number of bytes, optionally followed by k, M or G
// (either letter case; powers of 1024), white space around it allowed.

// False, with bytes untouched, for anything else or a size beyond 64 bits.
bool ParseByteSize(const char* text, unsigned long long& bytes);
// bytes with the largest suffix that divides it exactly ("64M", "1536k", "1000").
std::string ByteSizeText(unsigned long long bytes);

#endif
