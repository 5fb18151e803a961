#ifndef MAD_TCP_CNETERROR_H
#define MAD_TCP_CNETERROR_H

// What kind of failure a network call met, kept beside the last-error text and set at the same
// failing call. The text is for people; callers decide on the kind and never compare texts.
struct CNetError {
    enum class Kind {
        None,         // no failure yet, or the last call succeeded
        Resolve,      // the name has no address
        Connect,      // no address accepted the connection (code: the errno of the last attempt)
        Proxy,        // a proxy could not be reached (code: errno if any) or refused (status)
        TimedOut,     // a wait ran out: resolving, connecting, or the server sent or took nothing
        TooSlow,      // the body moved too few bytes in a window of one time-out
        ClosedEarly,  // reset, or closed before the answer or the body was whole (code: errno if any)
        TLS,          // the TLS layer refused: handshake, setup or a record it could not read
        Certificate,  // the server's certificate did not verify
        HTTPStatus,   // the server answered with a status that is not success (code: the status)
        Protocol,     // the URL or the answer does not read, or a redirect is refused
        LocalWrite,   // the destination file could not be written (code: errno)
        Stopped,      // the stop check asked for it
    };

    Kind kind = Kind::None;
    // The errno of the failing system call, the status for HTTPStatus, else 0.
    int code = 0;
    // For Proxy: the status the proxy refused with, 0 when it never answered.
    int status = 0;
};

#endif
