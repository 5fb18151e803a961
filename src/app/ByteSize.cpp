#include "app/ByteSize.h"

#include <cctype>
#include <climits>

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

bool ParseByteSize(const char* text, unsigned long long& bytes) {
    if (text == nullptr) return false;
    while (IsSpace(*text)) ++text;
    if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
    unsigned long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        const unsigned int digit = static_cast<unsigned int>(*text - '0');
        if (value > (ULLONG_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    unsigned int shift = 0;
    switch (*text) {
    case 'k':
    case 'K':
        shift = 10;
        break;
    case 'm':
    case 'M':
        shift = 20;
        break;
    case 'g':
    case 'G':
        shift = 30;
        break;
    default:
        break;
    }
    if (shift != 0) {
        if (value > (ULLONG_MAX >> shift)) return false;
        value <<= shift;
        ++text;
    }
    while (IsSpace(*text)) ++text;
    if (*text != '\0') return false;
    bytes = value;
    return true;
}

std::string ByteSizeText(unsigned long long bytes) {
    static const struct {
        unsigned int shift;
        char suffix;
    } units[] = {{30, 'G'}, {20, 'M'}, {10, 'k'}};
    for (const auto& unit : units) {
        const unsigned long long size = 1ull << unit.shift;
        if (bytes != 0 && bytes % size == 0) return std::to_string(bytes / size) + unit.suffix;
    }
    return std::to_string(bytes);
}
