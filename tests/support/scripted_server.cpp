#include "support/scripted_server.h"
#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace {
struct WinsockUp {
    WinsockUp() { WSADATA d; WSAStartup(0x0202, &d); }
    ~WinsockUp() { WSACleanup(); }
};

bool send_all(SOCKET s, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// A stalled connection is held at most this long, so a forgotten server
// cannot keep a test alive.
const DWORD kLongestStall = 60000;

ServerScript script_for(Reply reply, const std::string& body)
{
    const std::string head = ScriptedServer::head(body.size());
    ServerScript s;
    switch (reply) {
    case Reply::whole: s.sends = {{0, head + "\r\n" + body}}; break;
    case Reply::split_crlf: s.sends = {{0, head}, {200, "\r\n" + body}}; break;
    case Reply::stall: s.stall = true; break;
    }
    return s;
}
} // namespace

ScriptedServer::ScriptedServer(const char* address, Reply reply, const std::string& body)
    : ScriptedServer(address, script_for(reply, body))
{
}

ScriptedServer::ScriptedServer(const char* address, ServerScript script) : script_(std::move(script))
{
    static WinsockUp winsock;
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL yes = TRUE;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(80);
    a.sin_addr.s_addr = inet_addr(address);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 16) != 0) {
        closesocket(listener_);
        throw std::runtime_error("cannot listen on port 80 of " + std::string(address));
    }
    acceptor_ = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer()
{
    stopping_ = true;
    closesocket(listener_);
    acceptor_.join();
    {
        // Wakes handlers blocked in recv; a stalled one sees stopping_.
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
        ++accepted_;
        if (script_.refuse) {
            closesocket(s);
            continue;
        }
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
    if (!in.empty()) {  // not a probe
        {
            std::lock_guard<std::mutex> g(lock_);
            requests_.push_back(in);
        }
        if (script_.answer) {
            if (script_.answer_pause_ms) Sleep(script_.answer_pause_ms);
            const std::string body = script_.answer(in);
            send_all(s, head(body.size()) + "\r\n" + body);
        }
        for (const auto& step : script_.sends) {
            if (step.pause_ms) Sleep(step.pause_ms);
            send_all(s, step.bytes);
        }
        if (!script_.endless.empty()) {
            const DWORD started = GetTickCount();
            bool open = true;
            while (open && !stopping_ && GetTickCount() - started < kLongestStall) {
                if (script_.endless_pause_ms) Sleep(script_.endless_pause_ms);
                open = send_all(s, script_.endless);
            }
            if (!open && !stopping_) ++closed_by_client_;
        }
        for (DWORD held = 0; script_.stall && !stopping_ && held < kLongestStall; held += 20) Sleep(20);
    }
    std::lock_guard<std::mutex> g(lock_);
    open_.erase(std::remove(open_.begin(), open_.end(), s), open_.end());
    closesocket(s);
}

std::vector<std::string> ScriptedServer::requests()
{
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

template <class Count>
bool wait_for(Count count, size_t n, DWORD timeout_ms)
{
    for (DWORD waited = 0; waited <= timeout_ms; waited += 10, Sleep(10))
        if (count() >= n) return true;
    return false;
}

bool ScriptedServer::wait_for_requests(size_t n, DWORD timeout_ms)
{
    return wait_for([this] { return requests().size(); }, n, timeout_ms);
}

bool ScriptedServer::wait_for_closed_by_client(size_t n, DWORD timeout_ms)
{
    return wait_for([this] { return closed_by_client_.load(); }, n, timeout_ms);
}

std::string ScriptedServer::head(size_t body_length)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body_length) + "\r\n";
}

ServerScript ScriptedServer::endless_header(DWORD drip_ms)
{
    ServerScript s;
    s.sends = {{0, drip_ms ? "HTTP/1.1 200 OK\r\nX-Slow: " : "HTTP/1.1 200 OK\r\n"}};
    s.endless = drip_ms ? std::string("z") : "X-Filler: " + std::string(4000, 'z') + "\r\n";
    s.endless_pause_ms = drip_ms;
    return s;
}

std::string ScriptedServer::answer_with_result(const std::string& result)
{
    return "{\"version\":\"1.0\",\"code\":0,\"id\":1,\"result\":\"" + result + "\"}";
}

std::string ScriptedServer::answer_echoing_url(const std::string& request)
{
    return answer_with_result(Member(request, "url"));
}
