// What `kqsim loader` is told on its command line: the loader's identity and texts,
// the erase layout and timing, and the faults it is to show the installer.
#pragma once

#include <string>
#include <vector>

namespace kqsim {

// The programmable targets, in the order the installer programs them.
enum Target { TargetPic2, TargetPic3, TargetPic4, TargetBlackfin, TargetCount };
const char* targetName(int target);

// A one-shot change of one echo. `where` is a record number of the fault's transfer
// ("5") or the first word of a command ("VERSION", "LOAD_PIC").
struct EchoFault {
    enum Kind { Drop, Change, Stray } kind = Drop;
    std::string where;
    unsigned position = 2;  // Drop/Change: 1-based byte of the echo
    int strayByte = -1;     // Stray: the byte sent before the echo; -1: the echo's first byte
    bool fired = false;
    std::string text;       // the option as given, for the summary
};

struct LoaderOptions {
    // Identity and answers.
    bool m418 = false;
    std::string loaderVersion = "2.04";
    std::string signonPrefix;
    unsigned signonExtraLines = 0;
    std::string versionLine1;  // empty: "Loader V" + loaderVersion
    std::string spiVersion = "V3.21";
    std::string picVersions[3] = {"V1.04", "V1.10", "V1.01"};
    bool lfOnly = false;

    // Erase report.
    unsigned eraseBlocks = 11;
    unsigned eraseDotMs = 50;
    bool eraseDotAfterBanner = false;  // no line end between the banner and the first dot
    std::string preCompleteLine;       // an extra line of loader text before each "Complete."

    // Habits of other loaders that the protocol allows.
    std::string extraLine;             // a further line after every reply; empty: none
    bool repeatComplete = false;       // every "Complete." is sent twice
    unsigned holdEchoMs = 0;           // the last byte of each record's echo held this long; 0: none

    // Faults.
    bool silent = false;               // never sends a byte
    bool noSignon = false;             // echoes "###" but never signs on
    bool garbageBeforeSignon = false;  // a line of junk and bytes 0x80 and up before the sign-on
    bool noise = false;                // control bytes and bytes 0x80 and up around every answer line
    std::string faultTarget = "any";   // transfer the record-numbered faults apply to
    unsigned silentAfterRecord = 0;
    unsigned vanishAfterRecord = 0;
    std::string vanishAfterEcho;       // "###" or a command (or its first word): echo it, then vanish
    std::vector<EchoFault> echoFaults;
    int picVersError = -1;             // PIC whose version query is answered with an error; 0: all
    std::string picVersErrorText = "Error: PIC not responding";
    std::string noComplete;            // "", "any", "erase" or a target name

    // Image digests for the summary's "image" field.
    std::string expectDir;
    std::string expectJson;
};

bool parseLoaderOptions(const std::vector<std::string>& args, LoaderOptions& options, bool& helpWanted,
                        std::string& error);
const char* loaderHelp();

}  // namespace kqsim
