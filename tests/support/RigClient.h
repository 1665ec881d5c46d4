// Client side of the rig daemon (kqrig): lets a Windows test program start, stop and
// collect loader simulators on a COM port, over a loopback TCP connection.
#pragma once

#include <winsock2.h>

#include <string>

class RigClient {
public:
    // Connects to 127.0.0.1:$KQ_RIG_PORT; connected() tells whether that worked.
    RigClient();
    ~RigClient();
    RigClient(const RigClient&) = delete;
    RigClient& operator=(const RigClient&) = delete;

    bool connected() const { return sock != INVALID_SOCKET; }
    const std::string& lastError() const { return error; }

    // Starts `kqsim <args>` with COM<com> pointed at its pseudo-terminal.
    // Returns the simulator's id, or -1 (see lastError()).
    int start(int com, const std::string& args);
    // Ends the simulator and returns its JSON summary ("" on failure).
    std::string stop(int id);
    // Waits up to timeoutMs for the simulator to end by itself; true with its summary.
    bool wait(int id, unsigned timeoutMs, std::string& summary);
    // Points COM<com> at a path that does not exist: the device is missing.
    bool unlink(int com);

private:
    bool request(const std::string& line, std::string& reply);
    bool readLine(std::string& line);
    bool readSummary(const std::string& header, std::string& summary);
    bool sendAll(const std::string& data);

    SOCKET sock;
    std::string pending;  // bytes received beyond the last line taken
    std::string error;
};
