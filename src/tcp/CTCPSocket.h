#ifndef MAD_TCP_CTCPSOCKET_H
#define MAD_TCP_CTCPSOCKET_H

// A connected byte stream. Deleting it closes the connection.
class CTCPSocket {
public:
    virtual ~CTCPSocket() = default;
    // One receive of at most size bytes: the count received (at least 1), or -1 when the peer
    // closed the connection, the receive failed or timed out.
    virtual int ReadBuffer(void* buffer, int size) = 0;
    // Waits and fails as ReadBuffer does, but copies what has arrived (at most size bytes)
    // without taking it: the next ReadBuffer or PeekBuffer gets the same bytes again.
    virtual int PeekBuffer(void* buffer, int size) = 0;
    // One send: the count sent (may be fewer than size), or -1 when nothing was sent.
    virtual int WriteBuffer(const void* data, int size) = 0;
};

#endif
