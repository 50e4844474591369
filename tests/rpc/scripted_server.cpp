#include "scripted_server.h"
#include <cstdlib>
#include <stdexcept>

namespace {
struct WinsockUp {
    WinsockUp() { WSADATA d; WSAStartup(0x0202, &d); }
    ~WinsockUp() { WSACleanup(); }
};

void send_all(SOCKET s, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}
} // namespace

ScriptedServer::ScriptedServer(const char* address, Reply reply, std::string body)
    : reply_(reply), body_(std::move(body))
{
    static WinsockUp winsock;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL yes = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(80);
    a.sin_addr.s_addr = inet_addr(address);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 16) != 0)
        throw std::runtime_error("cannot listen on port 80 of " + std::string(address));
    acceptor_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer()
{
    stopping_ = true;
    closesocket(listener_);
    acceptor_.join();
    {
        std::lock_guard<std::mutex> g(lock_);
        for (SOCKET s : open_) shutdown(s, SD_BOTH);
    }
    for (auto& w : workers_) w.join();
}

void ScriptedServer::serve()
{
    while (!stopping_) {
        SOCKET s = accept(listener_, nullptr, nullptr);
        if (s == INVALID_SOCKET) return;
        std::lock_guard<std::mutex> g(lock_);
        open_.push_back(s);
        workers_.emplace_back([this, s] { handle(s); });
    }
}

void ScriptedServer::handle(SOCKET s)
{
    std::string in;
    char buf[4096];
    size_t need = std::string::npos;
    while (in.size() < need) {
        int n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        in.append(buf, static_cast<size_t>(n));
        size_t end = in.find("\r\n\r\n");
        if (end != std::string::npos && need == std::string::npos) {
            size_t cl = in.find("Content-Length: ");
            long length = cl == std::string::npos ? 0 : std::strtol(in.c_str() + cl + 16, nullptr, 10);
            need = end + 4 + static_cast<size_t>(length) + 2;  // the client's closing CR LF
        }
    }
    if (in.empty()) {  // a probe
        closesocket(s);
        return;
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        requests_.push_back(in);
    }
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                             std::to_string(body_.size()) + "\r\n";
    switch (reply_) {
    case Reply::whole: send_all(s, head + "\r\n" + body_); break;
    case Reply::header_then_body:
        send_all(s, head + "\r\n");
        Sleep(300);
        send_all(s, body_);
        break;
    case Reply::split_crlf:
        send_all(s, head);
        Sleep(200);
        send_all(s, "\r\n" + body_);
        break;
    case Reply::nul_in_chunk: send_all(s, "HTTP/1.1 200 OK\r\nX-A: 1" + std::string(1, '\0') + "hidden\r\n\r\n"); break;
    case Reply::stall:
        while (!stopping_) Sleep(20);
        break;
    case Reply::close_early: break;
    }
    closesocket(s);
}

std::vector<std::string> ScriptedServer::requests()
{
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

bool ScriptedServer::wait_for_requests(size_t n, DWORD timeout_ms)
{
    for (DWORD waited = 0; waited <= timeout_ms; waited += 10) {
        if (requests().size() >= n) return true;
        Sleep(10);
    }
    return false;
}

std::string ScriptedServer::answer_with_result(const std::string& result)
{
    return "{\"version\":\"1.0\",\"code\":0,\"id\":1,\"result\":\"" + result + "\"}";
}
