// kqrig: starts the rig daemon with the settings scripts/rig.sh passes.
#include "CommonOptions.h"
#include "RigDaemon.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    kqsim::RigSettings settings;
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string error;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string* target = nullptr;
        if (args[i] == "--port-file") target = &settings.portFile;
        else if (args[i] == "--com-dir") target = &settings.comDir;
        else if (args[i] == "--sim") target = &settings.simPath;
        else if (args[i] == "--work-dir") target = &settings.workDir;
        if (!target || !kqsim::optionValue(args, i, *target, error)) {
            std::fprintf(stderr, "usage: kqrig --port-file F --com-dir DIR --sim PATH --work-dir DIR\n");
            return 2;
        }
    }
    if (settings.portFile.empty() || settings.comDir.empty() || settings.simPath.empty() ||
        settings.workDir.empty()) {
        std::fprintf(stderr, "usage: kqrig --port-file F --com-dir DIR --sim PATH --work-dir DIR\n");
        return 2;
    }
    kqsim::RigDaemon daemon(settings);
    if (!daemon.listen(error)) {
        std::fprintf(stderr, "kqrig: %s\n", error.c_str());
        return 1;
    }
    return daemon.run();
}
