// A loopback HTTP server inside the test process that answers every request
// with a script of sends (each after a pause), refuses, or stalls: the normal
// and the faulty rank service for the RPC client's and the plug-in's tests.
// Connections that send nothing (the client's connectivity probe) are closed
// quietly.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ServerScript {
    struct Send {
        DWORD pause_ms;  // before this send
        std::string bytes;
    };
    bool refuse = false;  // close at once after accept, nothing read
    bool stall = false;   // after the sends, hold the connection until the server stops
    std::vector<Send> sends;
    // When set, the answer is made from the request instead: its body whole
    // with status line and headers, after answer_pause_ms.
    std::function<std::string(const std::string& request)> answer = nullptr;
    DWORD answer_pause_ms = 0;
    // After the sends: this text again and again, each after endless_pause_ms,
    // until the client closes the connection or the server stops.
    std::string endless = std::string();
    DWORD endless_pause_ms = 0;
};

// Ready-made scripts for an answer body.
enum class Reply {
    whole,       // status line, headers and body in one send
    split_crlf,  // the empty line's CR LF CR LF across two sends, 200 ms apart
    stall,       // reads the request, never answers
};

class ScriptedServer {
public:
    ScriptedServer(const char* address, ServerScript script);
    ScriptedServer(const char* address, Reply reply, const std::string& body);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // Connections accepted, probes included.
    size_t accepted() const { return accepted_; }
    // The complete requests received so far (header, body and trailing CR LF).
    std::vector<std::string> requests();
    // Waits up to timeout_ms for at least n requests.
    bool wait_for_requests(size_t n, DWORD timeout_ms);
    // Endless answers cut short by the client closing the connection.
    bool wait_for_closed_by_client(size_t n, DWORD timeout_ms);

    static std::string answer_with_result(const std::string& result);
    // An answer whose result is the request's "url" member with its JSON
    // escapes undone: every page gets a rank of its own.
    static std::string answer_echoing_url(const std::string& request);
    // Status line and headers for a body, without the empty line.
    static std::string head(size_t body_length);
    // A header block that never ends: a long line again and again as fast as
    // the network takes it, or one byte every drip_ms.
    static ServerScript endless_header(DWORD drip_ms = 0);

private:
    void serve();
    void handle(SOCKET s);

    ServerScript script_;
    SOCKET listener_ = INVALID_SOCKET;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> accepted_{0};
    std::atomic<size_t> closed_by_client_{0};
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::vector<SOCKET> open_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};

// The text of one member of a request's body, as sent.
inline std::string Member(const std::string& request, const std::string& name)
{
    const std::string key = "\"" + name + "\":\"";
    size_t at = request.find(key);
    if (at == std::string::npos) return "<missing>";
    at += key.size();
    std::string value;
    for (; at < request.size() && request[at] != '"'; ++at) {
        if (request[at] == '\\' && at + 1 < request.size()) ++at;  // "\/" and the like
        value += request[at];
    }
    return value;
}
