#include "FeedServer.h"

#include <chrono>
#include <thread>

namespace {

std::string TargetOf(const std::string& request) {
    const size_t start = request.find(' ');
    const size_t end = request.find(" HTTP/");
    if (start == std::string::npos || end == std::string::npos || end <= start) return "";
    return request.substr(start + 1, end - start - 1);
}

std::string PathOf(const std::string& target) { return target.substr(0, target.find('?')); }

}  // namespace

FeedServer::FeedServer()
    : m_server([this](FaultServer&, int fd, const std::string& request) { Handle(fd, request); },
               /*readRequest=*/true, /*concurrent=*/true) {}

void FeedServer::Serve(const std::string& path, const std::string& body) {
    ServeRaw(path, "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

void FeedServer::ServeRaw(const std::string& path, const std::string& response) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responses[path] = response;
}

void FeedServer::Remove(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_responses.erase(path);
}

void FeedServer::Delay(const std::string& path, int milliseconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delaysMs[path] = milliseconds;
}

void FeedServer::Handle(int fd, const std::string& request) {
    const std::string path = PathOf(TargetOf(request));
    std::string response = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    int delayMs = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_responses.find(path);
        if (found != m_responses.end()) response = found->second;
        auto delay = m_delaysMs.find(path);
        if (delay != m_delaysMs.end()) delayMs = delay->second;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answered.push_back(path);
    }
    FaultServer::SendAll(fd, response);
}

std::vector<std::string> FeedServer::Answered() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_answered;
}

std::vector<std::string> FeedServer::Targets() const {
    std::vector<std::string> targets;
    for (const std::string& request : m_server.Requests()) targets.push_back(TargetOf(request));
    return targets;
}

int FeedServer::Count(const std::string& path) const {
    int count = 0;
    for (const std::string& target : Targets()) count += PathOf(target) == path ? 1 : 0;
    return count;
}
