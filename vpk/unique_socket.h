// The socket owner apart from the others: winsock2.h must come before
// windows.h, which every other owner's user has already included.
#pragma once
#include <winsock2.h>
#include <windows.h>
#include "vpk/handle.h"

namespace vpk {

// socket() fails with INVALID_SOCKET; 0 is a valid socket number.
struct socket_traits {
    using type = SOCKET;
    static SOCKET invalid() noexcept { return INVALID_SOCKET; }
    static bool is_valid(SOCKET s) noexcept { return s != INVALID_SOCKET; }
    static void close(SOCKET s) noexcept { ::closesocket(s); }
};
using unique_socket = unique_any<socket_traits>;

}  // namespace vpk
