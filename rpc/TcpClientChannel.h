// One non-blocking TCP connection that carries one request to the rank server
// and collects the answer up to the end of its header block. Runs only on the
// HTTP client's thread.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include "vpk/unique_socket.h"
#include <cstdint>
#include <memory>
#include <string>

namespace ZorvanRpc {

class TcpClientChannel {
public:
    // A request and its answer, shared by the waiting caller and the channel.
    struct Message_ {
        explicit Message_(const std::string& text) : request(text) {}
        std::string request;
        std::string answer;
        bool complete = false;
        uint32_t sent = 0;
        // Bytes read for the answer, NULs included: the answer limit counts
        // these, as a stream of NULs never lengthens the answer text.
        uint32_t received = 0;
        char buffer[4096];
    };

    // A rank answer (status line, a handful of headers and a JSON object of
    // one short rank text) is a few hundred bytes; 16 KiB leaves room for
    // proxies that add headers and cookies. Past it the answer is not one of
    // ours, and reading it further would only grow the browser's memory.
    static const size_t kAnswerLimit = 16 * 1024;
    // From connect to the end of the header block. A service answers in
    // milliseconds; one that drips its answer must not hold a channel until
    // the caller's 10-second time-out.
    static const DWORD kLifetimeMs = 5000;

    explicit TcpClientChannel(std::shared_ptr<Message_> message);
    TcpClientChannel(const TcpClientChannel&) = delete;
    TcpClientChannel& operator=(const TcpClientChannel&) = delete;
    virtual ~TcpClientChannel();

    // False: the connection is under way (FD_CONNECT follows); true: finished.
    bool connect(const std::string& host, int port);
    // Handles what the socket event reports; true: finished, close the channel.
    bool on_network_event();

    // Closes the socket, then its event.
    void close();
    bool is_open() const { return static_cast<bool>(socket_); }
    // Milliseconds until the channel has lived kLifetimeMs (0: over).
    DWORD time_left(ULONGLONG now) const;
    HANDLE socket_event() const { return event_.get(); }
    const std::shared_ptr<Message_>& message() const { return message_; }

private:
    bool start_sending();
    bool send_pending();
    bool receive();

    vpk::unique_socket socket_;
    vpk::unique_event event_;
    std::shared_ptr<Message_> message_;
    ULONGLONG opened_ = GetTickCount64();
};

// Raises the calling thread's WinSock error as an HRESULT.
[[noreturn]] void throw_wsa_error();

}  // namespace ZorvanRpc
