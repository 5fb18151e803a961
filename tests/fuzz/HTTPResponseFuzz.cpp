// The status-line parser and the Content-Length search over arbitrary response heads.
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "http/CHTTPResponse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Copied to a buffer of exactly size bytes, so a read past the head is caught.
    const std::string head(reinterpret_cast<const char*>(data), size);
    const unsigned int length = static_cast<unsigned int>(size);
    CHTTPResponse response;
    if (response.Parse(head.data(), length)) {
        FUZZ_ASSERT(response.GetErrorCode() != 0);
        FUZZ_ASSERT(response.GetProtocolVersion() == 1 || response.GetProtocolVersion() == 2);
        FUZZ_ASSERT(std::strlen(response.GetErrorDescription()) <= 255);
        FUZZ_ASSERT(size > 0 && head[0] != '\r' && head[0] != '\n');
    }
    unsigned long long contentLength = 0;
    if (CHTTPResponse::FindContentLength(head.data(), length, contentLength) == CHTTPResponse::Length::Valid) {
        // The value is written somewhere in the head as plain decimal digits.
        FUZZ_ASSERT(head.find(std::to_string(contentLength)) != std::string::npos);
    }
    return 0;
}
