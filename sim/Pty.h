// The simulator's end of the serial line: a pseudo-terminal whose slave path a
// COM-port link points at, so that Wine opens it as COMn.
#pragma once

#include <string>

namespace kqsim {

class Pty {
public:
    Pty() = default;
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Opens the master, makes both sides raw and keeps one slave descriptor open.
    bool open(std::string& error);
    // Re-points `link` at the slave path in one rename, so an opener never sees it missing.
    bool pointLink(const std::string& link, std::string& error);
    // Closes the master and the held slave: to the host the device has vanished.
    void vanish();

    // Bytes written to the master that the host has not read yet (0 when closed).
    int unreadByHost() const;
    bool isOpen() const { return master >= 0; }
    int masterFd() const { return master; }
    const std::string& slavePath() const { return path; }

private:
    void releaseLink();

    int master = -1;
    // Held so the master never reads a hang-up while the host has the port closed
    // (Wine closes and reopens the port on every connection retry).
    int heldSlave = -1;
    std::string path;
    std::string linkPath;
};

// Points `link` at `target` atomically (a symlink under a temporary name, then rename).
bool replaceSymlink(const std::string& link, const std::string& target, std::string& error);
// The nonexistent path a COM link points at while no device is behind it.
std::string absentTargetFor(const std::string& link);

}  // namespace kqsim
