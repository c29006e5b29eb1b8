// The preview runtime's framed protocol, Windows side (see wire.mjs): a
// 32-bit little-endian length, then fields, each a 32-bit little-endian
// length and its bytes. Only ever spoken over loopback.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace wire {

using Fields = std::vector<std::string>;

inline void put32(std::string& out, size_t n) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xff);
}

inline uint32_t get32(const char* at) {
    auto* b = reinterpret_cast<const unsigned char*>(at);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
}

inline std::string encode(const std::vector<std::string_view>& fields) {
    size_t size = 0;
    for (auto field : fields) size += 4 + field.size();
    std::string out;
    out.reserve(4 + size);
    put32(out, size);
    for (auto field : fields) put32(out, field.size()), out.append(field);
    return out;
}

inline bool sendAll(SOCKET socket, std::string_view data) {
    while (!data.empty()) {
        int sent = send(socket, data.data(), static_cast<int>(data.size()), 0);
        if (sent <= 0) return false;
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

inline bool receiveAll(SOCKET socket, char* into, size_t size) {
    while (size) {
        int got = recv(socket, into, static_cast<int>(size), 0);
        if (got <= 0) return false;
        into += got, size -= static_cast<size_t>(got);
    }
    return true;
}

// Blocks for the next message; false once the connection is gone.
inline bool receive(SOCKET socket, Fields& fields) {
    char head[4];
    if (!receiveAll(socket, head, 4)) return false;
    std::string body(get32(head), '\0');
    if (!receiveAll(socket, body.data(), body.size())) return false;
    fields.clear();
    for (size_t at = 0; at + 4 <= body.size();) {
        size_t n = get32(body.data() + at);
        fields.push_back(body.substr(at + 4, n));
        at += 4 + n;
    }
    return true;
}

// Connects to the page side on 127.0.0.1 at the port in PREVIEW_WEBVIEW2_PORT.
inline SOCKET connectToPreview() {
    char port[16] = "";
    if (!GetEnvironmentVariableA("PREVIEW_WEBVIEW2_PORT", port, sizeof port)) return INVALID_SOCKET;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data)) return INVALID_SOCKET;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

}  // namespace wire
