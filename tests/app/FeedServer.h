#ifndef MAD_TESTS_APP_FEEDSERVER_H
#define MAD_TESTS_APP_FEEDSERVER_H

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/FaultServer.h"

// A loopback HTTP server for the update-pass tests: serves bodies by path (the query is ignored),
// answers 404 for anything else, can send a scripted raw response for a path, and records the
// request target of every request. Connections are served side by side; a path may be given a
// delay before its response, and the order the responses went out in is recorded.
class FeedServer {
public:
    FeedServer();

    // Serves body at path with a 200 and a Content-Length.
    void Serve(const std::string& path, const std::string& body);
    // Sends exactly these bytes for path, then closes the connection.
    void ServeRaw(const std::string& path, const std::string& response);
    void Remove(const std::string& path);
    // Waits this long before answering path.
    void Delay(const std::string& path, int milliseconds);

    std::string Url(const std::string& path) const { return m_server.Url(path); }
    // Request targets in arrival order ("/feed.xml?a=1&time=...").
    std::vector<std::string> Targets() const;
    // How many requests asked for path (query ignored).
    int Count(const std::string& path) const;
    // Paths in the order their responses were sent.
    std::vector<std::string> Answered() const;

private:
    void Handle(int fd, const std::string& request);

    mutable std::mutex m_mutex;
    std::map<std::string, std::string> m_responses;
    std::map<std::string, int> m_delaysMs;
    std::vector<std::string> m_answered;
    FaultServer m_server;
};

#endif
