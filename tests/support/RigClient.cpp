// Loopback TCP client of the rig daemon; see RigClient.h.
#include "tests/support/RigClient.h"

#include <ws2tcpip.h>

#include <cstdlib>

namespace {

struct WinsockStartup {
    WinsockStartup() { WSADATA data; ok = WSAStartup(MAKEWORD(2, 2), &data) == 0; }
    ~WinsockStartup() { if (ok) WSACleanup(); }
    bool ok = false;
};

bool winsockReady() {
    static WinsockStartup startup;
    return startup.ok;
}

}  // namespace

RigClient::RigClient() : sock(INVALID_SOCKET) {
    const char* portText = std::getenv("KQ_RIG_PORT");
    if (!portText || !*portText) {
        error = "KQ_RIG_PORT is not set: run the tests inside the rig (scripts/rig.sh)";
        return;
    }
    if (!winsockReady()) {
        error = "WSAStartup failed";
        return;
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = "socket failed: " + std::to_string(WSAGetLastError());
        return;
    }
    // Simulator sessions can run for minutes (a paced update); replies come at their end.
    DWORD timeoutMs = 15 * 60 * 1000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(portText)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = "connect to kqrig failed: " + std::to_string(WSAGetLastError());
        closesocket(s);
        return;
    }
    sock = s;
}

RigClient::~RigClient() {
    // Closing the connection makes the daemon end every simulator it started for us.
    if (sock != INVALID_SOCKET) closesocket(sock);
}

bool RigClient::sendAll(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        int n = send(sock, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) {
            error = "send to kqrig failed: " + std::to_string(WSAGetLastError());
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool RigClient::readLine(std::string& line) {
    for (;;) {
        size_t lf = pending.find('\n');
        if (lf != std::string::npos) {
            line = pending.substr(0, lf);
            pending.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return true;
        }
        char chunk[4096];
        int n = recv(sock, chunk, sizeof chunk, 0);
        if (n <= 0) {
            error = n == 0 ? "kqrig closed the connection"
                           : "recv from kqrig failed: " + std::to_string(WSAGetLastError());
            return false;
        }
        pending.append(chunk, static_cast<size_t>(n));
    }
}

bool RigClient::request(const std::string& line, std::string& reply) {
    if (!connected()) return false;
    return sendAll(line + "\n") && readLine(reply);
}

bool RigClient::readSummary(const std::string& header, std::string& summary) {
    if (header.compare(0, 8, "SUMMARY ") != 0) {
        error = "kqrig answered: " + header;
        return false;
    }
    const size_t size = static_cast<size_t>(std::strtoul(header.c_str() + 8, nullptr, 10));
    while (pending.size() < size) {
        char chunk[65536];
        int n = recv(sock, chunk, sizeof chunk, 0);
        if (n <= 0) {
            error = "summary cut short";
            return false;
        }
        pending.append(chunk, static_cast<size_t>(n));
    }
    summary = pending.substr(0, size);
    pending.erase(0, size);
    return true;
}

int RigClient::start(int com, const std::string& args) {
    std::string reply;
    if (!request("START " + std::to_string(com) + " " + args, reply)) return -1;
    if (reply.compare(0, 3, "OK ") != 0) {
        error = "kqrig answered: " + reply;
        return -1;
    }
    return std::atoi(reply.c_str() + 3);
}

std::string RigClient::stop(int id) {
    std::string reply, summary;
    if (!request("STOP " + std::to_string(id), reply)) return std::string();
    if (!readSummary(reply, summary)) return std::string();
    return summary;
}

bool RigClient::wait(int id, unsigned timeoutMs, std::string& summary) {
    std::string reply;
    if (!request("WAIT " + std::to_string(id) + " " + std::to_string(timeoutMs), reply)) return false;
    if (reply == "TIMEOUT") {
        error = "simulator still running";
        return false;
    }
    return readSummary(reply, summary);
}

bool RigClient::unlink(int com) {
    std::string reply;
    if (!request("UNLINK " + std::to_string(com), reply)) return false;
    if (reply != "OK") {
        error = "kqrig answered: " + reply;
        return false;
    }
    return true;
}
