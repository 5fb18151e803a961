#ifndef MAD_TESTS_FAULTSERVER_H
#define MAD_TESTS_FAULTSERVER_H

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// A scriptable HTTP peer on 127.0.0.1 (or another loopback address, ::1 included) for the cases a
// real server cannot produce.
// A background thread accepts connections and serves them one after another, or, when concurrent,
// each on a thread of its own (a handler that sleeps then delays only its own response). For
// each connection, unless readRequest is
// false, it first reads the request head (up to the empty line, bounded in size and time) and
// records it; then it calls the handler with the connected descriptor and the request. The
// connection is closed when the handler returns. Handlers never close the descriptor themselves:
// they may shutdown() it, or Reset() it to end the connection with an RST. The destructor stops
// the thread, also while a handler waits in WaitUntilStopped or blocks on the connection: it
// shuts the connection down first.
class FaultServer {
public:
    using Handler = std::function<void(FaultServer& server, int fd, const std::string& request)>;

    // Listens on address ("127.0.0.1" or "::1") at port (0: any free one); throws when it cannot.
    explicit FaultServer(Handler handler, bool readRequest = true, bool concurrent = false,
                         const std::string& address = "127.0.0.1", unsigned short port = 0);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    unsigned short Port() const { return m_port; }
    // "http://127.0.0.1:<port>" + path, or "http://[::1]:<port>" + path.
    std::string Url(const std::string& path) const;
    // Every request head received so far, in order.
    std::vector<std::string> Requests() const;
    // Number of connections accepted so far.
    int Connections() const { return m_connections.load(); }

    // Handler helpers.
    static bool SendAll(int fd, const std::string& data);
    // Closes with an RST instead of a FIN (SO_LINGER 0). The descriptor is invalid afterwards;
    // the server knows not to close it again.
    void Reset(int fd);
    // Blocks until the server is being destroyed (a peer that never answers).
    void WaitUntilStopped();

private:
    void Run();
    void Serve(int fd);

    Handler m_handler;
    bool m_readRequest;
    std::string m_host;  // as a URL writes it
    int m_listenFd = -1;
    unsigned short m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_connections{0};
    bool m_concurrent;
    mutable std::mutex m_mutex;
    std::set<int> m_activeFds;  // the connections handlers are serving, guarded by m_mutex
    std::vector<std::string> m_requests;
    std::vector<std::thread> m_connectionThreads;  // concurrent mode; touched by Run only
    std::thread m_thread;
};

#endif
