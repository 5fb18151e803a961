// Reading a response head from a socket that delivers arbitrary bytes, cut into arbitrary
// receives: the head ends with its empty line, fits the buffer, and not one byte beyond it is
// taken from the socket.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "FuzzSupport.h"
#include "http/CHTTPClient.h"
#include "tcp/CTCPSocket.h"

namespace {

// Hands out the scripted bytes; the first input byte bounds the size of each receive.
class ScriptedSocket final : public CTCPSocket {
public:
    ScriptedSocket(const uint8_t* data, size_t size, size_t chunk) : m_data(data), m_size(size), m_chunk(chunk) {}

    int ReadBuffer(void* buffer, int size) override {
        const int count = Copy(buffer, size, m_chunk);
        if (count > 0) m_taken += static_cast<size_t>(count);
        return count;
    }
    // A peek may show more than the next receive takes.
    int PeekBuffer(void* buffer, int size) override { return Copy(buffer, size, m_chunk + 3); }
    int WriteBuffer(const void*, int) override { return -1; }

    size_t Taken() const { return m_taken; }

private:
    int Copy(void* buffer, int size, size_t most) const {
        FUZZ_ASSERT(size > 0);
        if (m_taken == m_size) return -1;
        const size_t count = std::min({static_cast<size_t>(size), most, m_size - m_taken});
        std::memcpy(buffer, m_data + m_taken, count);
        return static_cast<int>(count);
    }

    const uint8_t* m_data;
    size_t m_size;
    size_t m_chunk;
    size_t m_taken = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    ScriptedSocket socket(data + 1, size - 1, 1 + data[0] % 8);
    CHTTPClient client(nullptr);
    char head[256];
    const int length = client.ReadHeader(&socket, head, sizeof head);
    FUZZ_ASSERT(length >= 0 && static_cast<size_t>(length) <= sizeof head);
    if (length == 0) return 0;
    FUZZ_ASSERT(socket.Taken() == static_cast<size_t>(length));
    FUZZ_ASSERT(std::memcmp(head, data + 1, static_cast<size_t>(length)) == 0);
    FUZZ_ASSERT(length >= 4 && head[length - 2] == '\r' && head[length - 1] == '\n');
    return 0;
}
