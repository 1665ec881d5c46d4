// The rig daemon as a Windows test uses it (START/STOP/WAIT/UNLINK over loopback TCP),
// and the peer mode's script steps, over real pseudo-terminals reached through COM links.
#include "RigDaemon.h"
#include "SimProcess.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using kqtest::Json;

namespace {

std::string linkTarget(const std::string& link) {
    char buffer[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// kqrig started as a child process in a scratch directory of its own.
class Rig {
public:
    Rig() {
        dir = "/tmp/kqrig-test-" + std::to_string(getpid());
        std::system(("rm -rf " + dir + " && mkdir -p " + dir + "/com").c_str());
        pid = fork();
        if (pid == 0) {
            execl(KQRIG_PATH, KQRIG_PATH, "--port-file", (dir + "/port").c_str(), "--com-dir",
                  (dir + "/com").c_str(), "--sim", KQSIM_PATH, "--work-dir", (dir + "/sims").c_str(), nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200 && port == 0; ++i) {
            port = std::atoi(kqtest::readFile(dir + "/port").c_str());
            if (!port) usleep(10000);
        }
    }
    ~Rig() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        std::system(("rm -rf " + dir).c_str());
    }
    std::string com(int n) const { return dir + "/com/COM" + std::to_string(n); }

    std::string dir;
    pid_t pid = -1;
    int port = 0;
};

class RigConnection {
public:
    explicit RigConnection(int port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~RigConnection() { closeNow(); }
    void closeNow() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    bool ok() const { return fd >= 0; }

    std::string request(const std::string& line) {
        const std::string out = line + "\n";
        if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return "(send failed)";
        return readLine();
    }
    std::string readLine() {
        for (;;) {
            const size_t lf = pending.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending.substr(0, lf);
                pending.erase(0, lf + 1);
                return line;
            }
            if (!fill()) return "(closed)";
        }
    }
    // Reads the JSON that follows a "SUMMARY <n>" line.
    Json summary(const std::string& header) {
        if (header.rfind("SUMMARY ", 0) != 0) return Json();
        const size_t n = std::strtoul(header.c_str() + 8, nullptr, 10);
        while (pending.size() < n)
            if (!fill()) return Json();
        Json j = Json::parse(pending.substr(0, n), nullptr, false);
        pending.erase(0, n);
        return j;
    }

private:
    bool fill() {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0) return false;
        char buffer[65536];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        pending.append(buffer, static_cast<size_t>(n));
        return true;
    }

    int fd = -1;
    std::string pending;
};

int openPort(const std::string& link) {
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

std::string readExactly(int fd, size_t n, int ms) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buffer[4096];
        const ssize_t got = read(fd, buffer, std::min(sizeof buffer, n - out.size()));
        if (got <= 0) break;
        out.append(buffer, static_cast<size_t>(got));
    }
    return out;
}

}  // namespace

TEST(RigArguments, SplitsAtSpacesKeepingQuotedText) {
    std::vector<std::string> args;
    std::string error;
    ASSERT_TRUE(kqsim::splitArguments("peer --script \"send:41;read:1:100\"  --x \"a \\\"b\\\" c\"", args, error));
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(args[2], "send:41;read:1:100");
    EXPECT_EQ(args[4], "a \"b\" c");
    EXPECT_FALSE(kqsim::splitArguments("\"open", args, error));
}

TEST(Rig, StartsAPeerOnAComLinkAndReturnsItsSummary) {
    Rig rig;
    ASSERT_NE(rig.port, 0);
    RigConnection c(rig.port);
    ASSERT_TRUE(c.ok());
    const std::string started = c.request("START 2 peer --script \"send:414243;read:3:5000;echo:300;close\"");
    ASSERT_EQ(started.rfind("OK ", 0), 0u) << started;
    const std::string id = started.substr(3);
    EXPECT_EQ(linkTarget(rig.com(2)).rfind("/dev/pts/", 0), 0u);

    const int fd = openPort(rig.com(2));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readExactly(fd, 3, 5000), "ABC");
    ASSERT_EQ(write(fd, "xyz", 3), 3);
    usleep(100000);
    ASSERT_EQ(write(fd, "12", 2), 2);
    EXPECT_EQ(readExactly(fd, 2, 5000), "12");
    // After the echo step the peer closes: the port reads end-of-file or an error.
    char b;
    pollfd p{fd, POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 5000), 0);
    EXPECT_LE(read(fd, &b, 1), 0);
    close(fd);

    const std::string header = c.request("STOP " + id);
    const Json s = c.summary(header);
    EXPECT_EQ(s.at("mode").get<std::string>(), "peer");
    EXPECT_EQ(s.at("received_hex").get<std::string>(), "78797A3132");
    EXPECT_EQ(s.at("reads").at(0).at("hex").get<std::string>(), "78797A");
    EXPECT_FALSE(s.at("reads").at(0).at("timed_out").get<bool>());
    EXPECT_EQ(s.at("echoed_count").get<long long>(), 2);
    EXPECT_TRUE(s.at("closed").get<bool>());
    EXPECT_TRUE(s.at("script_done").get<bool>());
    // The ended simulator leaves its link pointing nowhere.
    EXPECT_EQ(linkTarget(rig.com(2)), rig.dir + "/com/none-COM2");
}

TEST(Rig, WaitUnlinkErrorsAndCleanUpOnDisconnect) {
    Rig rig;
    ASSERT_NE(rig.port, 0);
    RigConnection c(rig.port);
    ASSERT_TRUE(c.ok());
    std::string started = c.request("START 4 peer --script \"pattern:300\" --idle-timeout 300");
    ASSERT_EQ(started.rfind("OK ", 0), 0u) << started;
    const int fd = openPort(rig.com(4));
    ASSERT_GE(fd, 0);
    const std::string pattern = readExactly(fd, 300, 5000);
    ASSERT_EQ(pattern.size(), 300u);
    for (size_t i = 0; i < 300; ++i) ASSERT_EQ(static_cast<uint8_t>(pattern[i]), i % 251) << i;
    close(fd);
    const Json s = c.summary(c.request("WAIT " + started.substr(3) + " 10000"));
    EXPECT_EQ(s.at("end").get<std::string>(), "idle");
    EXPECT_EQ(s.at("sent_count").get<long long>(), 300);

    started = c.request("START 5 peer --script \"sleep:10\"");
    ASSERT_EQ(started.rfind("OK ", 0), 0u);
    EXPECT_EQ(c.request("WAIT " + started.substr(3) + " 200"), "TIMEOUT");
    EXPECT_EQ(c.request("UNLINK 5"), "OK");
    EXPECT_EQ(linkTarget(rig.com(5)), rig.dir + "/com/none-COM5");
    EXPECT_EQ(c.request("START 6 nonsense").rfind("ERR ", 0), 0u);
    EXPECT_EQ(c.request("STOP 999"), "ERR no such simulator");
    EXPECT_EQ(c.request("FLY"), "ERR unknown request");

    // Closing the connection ends the simulator it started.
    c.closeNow();
    bool summaryWritten = false;
    for (int i = 0; i < 500 && !summaryWritten; ++i) {
        struct stat st;
        summaryWritten = stat((rig.dir + "/sims/sim-" + started.substr(3) + ".json").c_str(), &st) == 0;
        if (!summaryWritten) usleep(10000);
    }
    EXPECT_TRUE(summaryWritten);
}

TEST(Rig, LoaderThroughTheRigWithQuotedArguments) {
    Rig rig;
    ASSERT_NE(rig.port, 0);
    RigConnection c(rig.port);
    const std::string started = c.request("START 1 loader --signon-prefix \"Boot ok: \" --erase-dot-ms 1");
    ASSERT_EQ(started.rfind("OK ", 0), 0u) << started;
    const int fd = openPort(rig.com(1));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "###", 3), 3);
    EXPECT_EQ(readExactly(fd, 31, 5000), "###Boot ok: KQ7750 Loader V2.04");
    close(fd);
    const Json s = c.summary(c.request("STOP " + started.substr(3)));
    EXPECT_EQ(s.at("sign_ons").get<long long>(), 1);
}
