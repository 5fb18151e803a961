#ifndef MAD_HTTP_CHTTPBODYSINK_H
#define MAD_HTTP_CHTTPBODYSINK_H

#include <cstddef>
#include <string>

// Where CHTTPClient puts a response body as it arrives, in order, in pieces of any size.
class CHTTPBodySink {
public:
    virtual ~CHTTPBodySink() = default;
    // Takes the next bytes of the body. False fails the Get as a write failure, with Error() and
    // ErrorText() naming the cause.
    virtual bool Write(const void* data, std::size_t length) = 0;
    // Forgets every byte taken so far: another try sends the body from its start. False as Write.
    virtual bool Restart() = 0;
    // The errno of the first failure, and the system's text for it.
    virtual int Error() const = 0;
    virtual std::string ErrorText() const = 0;
};

#endif
