// The fifteen actions that carry work to the worker and results back to the
// window thread. Window actions call one controller slot each; worker actions
// call one engine operation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/ActionBase.h"
#include "engine/ResponseBase.h"

// ---- Executed on the window thread (posted to windowQueue) ----

class ActionStatus : public ActionBase {
public:
    ActionStatus(const std::string& statusText, int32_t statusKind)
        : text(statusText), kind(statusKind) {}
    void execute() override;

    std::string text;
    int32_t kind;
};

class ActionPortNotFound : public ActionBase {
public:
    void execute() override;
};

class ActionConnected : public ActionBase {
public:
    explicit ActionConnected(bool flag) : connected(flag) {}
    void execute() override;

    bool connected;
};

class ActionPicProgram : public ActionBase {
public:
    void execute() override;
};

class ActionBlackfinErasePreamble : public ActionBase {
public:
    void execute() override;
};

class ActionBlackfinErasePostamble : public ActionBase {
public:
    void execute() override;
};

// One progress step, with the records of the current image still to send when it was
// taken: the window logs the transfer's progress from it without the engine lock, which
// the worker holds across every port write.
class ActionProgressed : public ActionBase {
public:
    explicit ActionProgressed(uint32_t linesLeft) : recordsLeft(linesLeft) {}
    void execute() override;

    uint32_t recordsLeft;
};

class ActionComplete : public ActionBase {
public:
    void execute() override;
};

class ActionFailed : public ActionBase {
public:
    void execute() override;
};

class ActionNextPic : public ActionBase {
public:
    void execute() override;
};

class ActionBlackfinProgramPreamble : public ActionBase {
public:
    void execute() override;
};

// Runs the engine's VerifyPic, which sends its command from the window thread.
class ActionPicProgramPostamble : public ActionBase {
public:
    void execute() override;
};

// ---- Executed on the worker (posted to workQueue) ----

class ActionFindPort : public ActionBase {
public:
    explicit ActionFindPort(uint32_t number) : portNumber(number) {}
    void execute() override;

    uint32_t portNumber;
};

class ActionSerialEvent : public ActionBase {
public:
    ActionSerialEvent(uint32_t eventType, int32_t eventValue)
        : type(eventType), value(eventValue) {}
    void execute() override;

    uint32_t type;   // SerialEventType
    int32_t value;
};

// Owns its parser until execute hands it to the engine; destroyed unexecuted,
// it takes the parser with it.
class ActionSendCommand : public ActionBase {
public:
    ActionSendCommand(ResponseBase* reply, const std::string& commandText)
        : response(reply), command(commandText) {}
    ActionSendCommand(ResponseBase* reply, const std::string& status,
                      const std::string& commandText)
        : response(reply), statusText(status), command(commandText) {}
    void execute() override;

    std::unique_ptr<ResponseBase> response;
    std::string statusText;  // posted before the command is sent; empty for none
    std::string command;     // without CR LF
};
