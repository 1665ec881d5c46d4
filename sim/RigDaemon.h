// kqrig: the native daemon through which Windows test programs (under Wine) start,
// stop and collect loader simulators on COM ports, over loopback TCP text lines.
#pragma once

#include "Clock.h"

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kqsim {

struct RigSettings {
    std::string portFile;  // the bound port number is written here
    std::string comDir;    // holds the links COM1..COMn
    std::string simPath;   // the kqsim executable
    std::string workDir;   // summaries and simulator logs
};

// Splits a request's argument text at spaces; "double quoted" arguments may hold
// spaces, and \" or \\ inside quotes stand for the character itself.
bool splitArguments(const std::string& text, std::vector<std::string>& args, std::string& error);

class RigDaemon {
public:
    explicit RigDaemon(RigSettings settings);
    ~RigDaemon();
    RigDaemon(const RigDaemon&) = delete;
    RigDaemon& operator=(const RigDaemon&) = delete;

    bool listen(std::string& error);
    // Serves until SIGTERM/SIGINT; ends every simulator still running.
    int run();

private:
    struct Sim {
        int id = 0;
        pid_t pid = -1;
        int client = -1;  // the connection that started it
        std::string summaryPath;
        std::string logPath;
        bool exited = false;
        int status = 0;
        bool killSent = false;
        TimePoint killAt{};  // SIGKILL if it outlives this after a SIGTERM
    };
    struct Client {
        int fd = -1;
        std::string input;
        std::string output;
        int waitingFor = 0;  // WAIT in progress: sim id, 0 for none
        TimePoint waitDeadline{};
        bool closing = false;
    };

    void acceptClient();
    void readClient(Client& client);
    void handleLine(Client& client, const std::string& line);
    std::string startSim(Client& client, const std::string& rest);
    void stopSim(Sim& sim);
    void terminate(Sim& sim, TimePoint now);
    std::string summaryReply(const Sim& sim) const;
    void reapChildren();
    void serviceWaits(TimePoint now);
    void dropClient(Client& client);
    Sim* findSim(const std::string& idText);
    std::string comLink(const std::string& comText, std::string& error) const;

    RigSettings settings;
    int listener = -1;
    int nextId = 1;
    std::map<int, Sim> sims;
    std::map<int, Client> clients;  // by descriptor
};

}  // namespace kqsim
