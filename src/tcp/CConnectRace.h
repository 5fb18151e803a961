#ifndef MAD_TCP_CCONNECTRACE_H
#define MAD_TCP_CCONNECTRACE_H

#include <sys/socket.h>
#include <chrono>
#include <functional>
#include <vector>

// Connects to the first of a host's addresses that accepts, the way RFC 8305 ("Happy Eyeballs")
// describes: the first address is tried at once, the next one 250 ms later or as soon as an
// attempt fails, alternating address families, and the first handshake to complete wins; every
// other attempt is closed. So a host whose IPv6 address is dead still connects over IPv4 in a
// quarter of a second, and the other way round. Owns the descriptors of the attempts in flight
// (close-on-exec) and closes them on destruction; the winner's goes to the caller.
class CConnectRace final {
public:
    struct Address {
        sockaddr_storage storage{};
        socklen_t length = 0;
    };
    enum class Result { Connected, Failed, TimedOut, Stopped };

    // How long an attempt runs alone before the next address is tried beside it.
    static constexpr std::chrono::milliseconds kAttemptDelay{250};

    CConnectRace() = default;
    ~CConnectRace();
    CConnectRace(const CConnectRace&) = delete;
    CConnectRace& operator=(const CConnectRace&) = delete;

    // A stream socket of family as every connection here has one: non-blocking, closed on exec,
    // and sending each write at once (an HTTP request or a TLS flight is written whole, so nothing
    // is gained by holding a short segment back for the acknowledgement of the one before, which
    // a peer may delay by tens of milliseconds). -1 with errno set when none can be made.
    static int NewSocket(int family);

    // A fresh unconnected non-blocking socket of family the caller made already and hands over.
    struct Spare {
        int fd = -1;
        sa_family_t family = AF_UNSPEC;
    };

    // Closes any earlier race and starts a new one over addresses (in the resolver's order): the
    // first attempt, and the next ones at once while attempts fail at once. False when none could
    // be started; Error() then tells why. spare, now owned by the race, serves the first attempt
    // of its family instead of a new socket, and is closed unused when none comes.
    bool Start(std::vector<Address> addresses, Spare spare);
    bool Start(std::vector<Address> addresses);
    // Runs the race until an attempt connects, every address has failed (Error() tells why), timeoutMs passes (0: no
    // bound) or stopping answers true, asked at least every 200 ms. Attempts go on between Start and Finish, so a race
    // started ahead keeps its lead.
    Result Finish(unsigned int timeoutMs, const std::function<bool()>& stopping);
    // The connected descriptor, still non-blocking, now owned by the caller; -1 when none won.
    int TakeConnected();
    // The errno of the failure that tells most: a refusal, else the last one.
    int Error() const { return m_error; }
    // Closes every attempt.
    void Abandon();

    // The addresses reordered to alternate families, starting with the first one's.
    static std::vector<Address> Interleave(const std::vector<Address>& addresses);

private:
    using Clock = std::chrono::steady_clock;

    void NoteFailure(int error);
    // Starts attempts on the next addresses until one is in flight or connected; false when the
    // addresses ran out first.
    bool StartNext();
    // Checks the attempts poll found ready: the first connected one wins, failed ones go.
    // True when one failed.
    bool Collect(const std::vector<short>& events);

    std::vector<Address> m_addresses;
    std::size_t m_next = 0;
    Spare m_spare;
    std::vector<int> m_inFlight;
    int m_connected = -1;
    int m_error = 0;
    Clock::time_point m_lastStart;
};

#endif
