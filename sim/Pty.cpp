// Pseudo-terminal set-up and the atomic re-pointing of COM-port links.
#include "Pty.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace kqsim {

namespace {

std::string errnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool makeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    // TCSAFLUSH would throw away bytes already queued; nothing may be lost here.
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

Pty::~Pty() {
    vanish();
}

int Pty::unreadByHost() const {
    // The slave's input queue is the host's: every opener of the slave reads from it.
    int count = 0;
    if (heldSlave < 0 || ioctl(heldSlave, FIONREAD, &count) != 0) return 0;
    return count;
}

bool Pty::open(std::string& error) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        error = errnoText("posix_openpt");
        return false;
    }
    if (grantpt(master) != 0 || unlockpt(master) != 0) {
        error = errnoText("grantpt/unlockpt");
        vanish();
        return false;
    }
    const char* name = ptsname(master);
    if (!name) {
        error = errnoText("ptsname");
        vanish();
        return false;
    }
    path = name;
    heldSlave = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (heldSlave < 0) {
        error = errnoText("open slave");
        vanish();
        return false;
    }
    if (!makeRaw(heldSlave) || !makeRaw(master)) {
        error = errnoText("tcsetattr");
        vanish();
        return false;
    }
    const int flags = fcntl(master, F_GETFL);
    if (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = errnoText("fcntl");
        vanish();
        return false;
    }
    return true;
}

bool Pty::pointLink(const std::string& link, std::string& error) {
    if (!replaceSymlink(link, path, error)) return false;
    linkPath = link;
    return true;
}

void Pty::vanish() {
    if (heldSlave >= 0) ::close(heldSlave);
    if (master >= 0) ::close(master);
    heldSlave = -1;
    master = -1;
    releaseLink();
}

void Pty::releaseLink() {
    // The pts number is reused by the next pseudo-terminal opened on the machine: a link
    // left pointing at it could lead another test's port to another test's simulator.
    if (linkPath.empty()) return;
    char target[PATH_MAX];
    const ssize_t n = readlink(linkPath.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) {
        std::string ignored;  // a link that cannot be re-pointed still leads nowhere useful
        replaceSymlink(linkPath, absentTargetFor(linkPath), ignored);
    }
    linkPath.clear();
}

bool replaceSymlink(const std::string& link, const std::string& target, std::string& error) {
    const std::string temp = link + ".tmp" + std::to_string(getpid());
    ::unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0) {
        error = errnoText("symlink");
        return false;
    }
    if (rename(temp.c_str(), link.c_str()) != 0) {
        error = errnoText("rename");
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::string absentTargetFor(const std::string& link) {
    const size_t slash = link.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : link.substr(0, slash);
    const std::string name = slash == std::string::npos ? link : link.substr(slash + 1);
    return dir + "/none-" + name;
}

}  // namespace kqsim
