// A loopback HTTP server inside the test process that answers each request in
// a chosen way, for the fault cases of the RPC client. Connections that send
// nothing (the client's connectivity probe) are ignored.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class Reply {
    whole,            // status line, headers and body in one send
    header_then_body, // body 300 ms after the header block
    split_crlf,       // the empty line's CR LF CR LF across two sends
    nul_in_chunk,     // a NUL inside the header block
    stall,            // reads the request, never answers
    close_early,      // reads the request, closes
};

class ScriptedServer {
public:
    ScriptedServer(const char* address, Reply reply, std::string body);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    // The complete requests received so far (header, body and trailing CR LF).
    std::vector<std::string> requests();
    // Waits up to timeout_ms for at least n requests.
    bool wait_for_requests(size_t n, DWORD timeout_ms);

    static std::string answer_with_result(const std::string& result);

private:
    void serve();
    void handle(SOCKET s);

    SOCKET listener_ = INVALID_SOCKET;
    Reply reply_;
    std::string body_;
    std::atomic<bool> stopping_{false};
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::vector<SOCKET> open_;
    std::vector<std::thread> workers_;
    std::thread acceptor_;
};
