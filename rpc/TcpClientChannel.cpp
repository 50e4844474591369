#include "rpc/TcpClientChannel.h"
#include "rpc/LookupTrace.h"
#include "vpk/com_exception.h"
#include <cstring>

namespace ZorvanRpc {

void throw_wsa_error()
{
    // WinSock keeps its error in the thread's last error; the support library
    // turns that into an HRESULT (0 stays 0).
    SetLastError(static_cast<DWORD>(WSAGetLastError()));
    vpk::throw_last_error();
}

TcpClientChannel::TcpClientChannel(std::shared_ptr<Message_> message) : message_(std::move(message)) {}

TcpClientChannel::~TcpClientChannel()
{
    close();
}

void TcpClientChannel::close()
{
    socket_.reset();
    event_.reset();
}

DWORD TcpClientChannel::time_left(ULONGLONG now) const
{
    const ULONGLONG end = opened_ + kLifetimeMs;
    return now >= end ? 0 : static_cast<DWORD>(end - now);
}

bool TcpClientChannel::connect(const std::string& host, int port)
{
    opened_ = GetTickCount64();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) throw_wsa_error();
    socket_.reset(s);
    try {
        // The request is written in one piece: let it leave at once.
        int one = 1;
        if (setsockopt(socket_.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one) != 0)
            throw_wsa_error();
        event_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!event_) vpk::throw_last_error();
        if (WSAEventSelect(socket_.get(), event_.get(), FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE) != 0)
            throw_wsa_error();
        hostent* entry = gethostbyname(host.c_str());
        if (!entry || !entry->h_addr_list || !entry->h_addr_list[0])
            vpk::throw_hresult(E_FAIL, GUID_NULL, L"Failed to resolve host name, possibly disconnect.");
        sockaddr_in address;
        std::memset(&address, 0, sizeof address);
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
        if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            return start_sending();
        if (WSAGetLastError() != WSAEWOULDBLOCK) throw_wsa_error();
        return false;
    } catch (...) {
        close();
        throw;
    }
}

bool TcpClientChannel::on_network_event()
{
    WSANETWORKEVENTS events;
    if (WSAEnumNetworkEvents(socket_.get(), event_.get(), &events) != 0) throw_wsa_error();
    // A failed connect shows itself when the first send fails, so the
    // per-event error codes are not looked at.
    if (events.lNetworkEvents & FD_CONNECT) return start_sending();
    if (events.lNetworkEvents & FD_WRITE) return send_pending();
    if (events.lNetworkEvents & FD_READ) return receive();
    if (events.lNetworkEvents & FD_CLOSE) {
        close();
        return true;
    }
    return false;
}

bool TcpClientChannel::start_sending()
{
    TraceLookup(LookupStage::connected, message_.get());
    message_->complete = false;
    message_->answer.clear();
    message_->sent = 0;
    message_->received = 0;
    return send_pending();
}

bool TcpClientChannel::send_pending()
{
    Message_& m = *message_;
    while (m.sent < m.request.size()) {
        const int n = ::send(socket_.get(), m.request.data() + m.sent, static_cast<int>(m.request.size() - m.sent), 0);
        if (n > 0) {
            m.sent += static_cast<uint32_t>(n);
            continue;
        }
        if (WSAGetLastError() == WSAEWOULDBLOCK) return false;  // wait for FD_WRITE
        throw_wsa_error();
    }
    TraceLookup(LookupStage::sent, &m);
    m.complete = false;
    m.answer.clear();
    m.sent = 0;
    m.received = 0;
    return receive();
}

bool TcpClientChannel::receive()
{
    Message_& m = *message_;
    while (!m.complete) {
        const int n = ::recv(socket_.get(), m.buffer, sizeof m.buffer - 1, 0);
        if (n > 0) {
            m.buffer[n] = '\0';
            m.received += static_cast<uint32_t>(n);
            // Only the new bytes and the three before them can complete the
            // empty line: the search stays linear in the answer's length.
            const size_t from = m.answer.size() < 3 ? 0 : m.answer.size() - 3;
            m.answer.append(m.buffer);  // up to the first NUL of this read
            if (m.answer.find("\r\n\r\n", from) != std::string::npos) {
                m.complete = true;
                TraceLookup(LookupStage::answered, &m);
            } else if (m.received > kAnswerLimit) {
                // Also bounds this loop: a service that sends faster than we
                // read is cut within a few reads, so run() gets back to its
                // other channels, its messages and the lifetime check.
                vpk::throw_hresult(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), GUID_NULL,
                    L"The rank service's header block does not end within its limit.");
            }
            continue;
        }
        if (WSAGetLastError() == WSAEWOULDBLOCK) return false;  // wait for FD_READ
        throw_wsa_error();
    }
    return true;
}

}  // namespace ZorvanRpc
