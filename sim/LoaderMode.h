// `kqsim loader`: the KQ7750 boot loader as the installer meets it on the serial line:
// sign-on on "###", version queries, echoed Intel HEX transfers into per-target memory,
// the Blackfin erase report, and the faults selected on the command line.
#pragma once

#include "ImageCatalog.h"
#include "IntelHex.h"
#include "LoaderOptions.h"
#include "SimLoop.h"
#include "TargetMemory.h"

#include <string>
#include <vector>

namespace kqsim {

class LoaderMode : public SimMode {
public:
    LoaderMode(Device& device, LoaderOptions options, ExpectedImages expected, unsigned baud);

    void onByte(uint8_t byte, TimePoint now) override;
    // While the erase report is being paced out the loader reads nothing, as the real one.
    bool acceptsInput() const override;
    void onTick(TimePoint now) override;
    TimePoint nextDeadline(TimePoint now) const override;
    void writeSummary(Summary& summary) const override;

    // The version a PIC reports after programming: the RETLW table at 0x0FC0.
    static std::string versionFromImage(const TargetMemory& memory);

private:
    enum class State { PowerOn, Command, Records };

    struct BadRecord {
        unsigned transfer;
        unsigned record;
        std::string line;
        std::string reason;
    };
    struct TargetState {
        TargetMemory memory;
        std::string version;
        unsigned loads = 0;
        unsigned lines = 0;
        unsigned dataRecords = 0;
        unsigned addressRecords = 0;
        unsigned eofRecords = 0;
        unsigned otherRecords = 0;
        unsigned emptyLines = 0;
        uint64_t overwrites = 0;
        std::vector<BadRecord> bad;
        unsigned erases = 0;
    };
    struct Transfer {
        int target = 0;
        std::string command;
        unsigned records = 0;
        unsigned badRecords = 0;
        bool eof = false;
        bool completeSent = false;
        bool aborted = false;
        HexAddressing addressing;
    };

    void emit(std::string_view bytes, TimePoint now);
    void sendLine(const std::string& text, TimePoint now);
    std::string lineEnd() const { return options.lfOnly ? "\n" : "\r\n"; }
    // `echoed`: the "###" went out already, byte by byte, as part of a record line.
    void signOn(TimePoint now, bool echoed);
    void commandByte(uint8_t byte, TimePoint now);
    void completeCommandLine(TimePoint now);
    void echoCommand(const std::string& command, TimePoint now);
    void dispatch(const std::string& command, TimePoint now);
    void startTransfer(int target, const std::string& command);
    void recordByte(uint8_t byte, TimePoint now);
    void endRecord(TimePoint now);
    void finishTransfer(TimePoint now);
    void erase(TimePoint now);
    bool sendComplete(const std::string& what, TimePoint now);
    // The end of a reply: the --extra-line habit, if chosen.
    void endReply(TimePoint now);
    bool sending() const { return !(options.silent || silenced || vanished); }
    bool faultTargetIsCurrent() const;
    // The --vanish-after-echo fault for `command`: true when it fires now.
    bool vanishesAfterEchoOf(const std::string& command);
    EchoFault* findEchoFault(EchoFault::Kind kind, const std::string& where);
    void fired(const std::string& what);

    Device& device;
    LoaderOptions options;
    ExpectedImages expected;
    unsigned baud;

    State state = State::PowerOn;
    std::string line;         // the command line or record being received
    std::string terminators;  // CR and LF that ended the command line
    bool dispatchPending = false;  // a CR ended a command; an LF may still belong to it
    TimePoint dispatchAt{};
    unsigned currentRecord = 0;   // number of the record being received in its transfer
    unsigned recordPosition = 0;  // bytes of it echoed so far
    bool silenced = false;
    bool vanishPending = false;
    TimePoint vanishBy{};  // set once the last echo has left: the host has until then to read it
    TimePoint drainedSince{};  // since when the host's side has held nothing unread
    bool vanished = false;

    TargetState targets[TargetCount];
    std::vector<Transfer> transfers;
    std::vector<std::string> commands;
    std::vector<std::string> faultsFired;
    unsigned signOns = 0;
    unsigned extraLinesSent = 0;
    unsigned repeatedCompletes = 0;
    uint64_t ignoredBytes = 0;
};

}  // namespace kqsim
