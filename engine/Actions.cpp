// The execute of each action, and the process-wide controller pointer through
// which the window actions reach the one controller.
#include "engine/Actions.h"

#include "engine/UpdateEngine.h"
#include "ui/AppControllerBase.h"

// Set by the shell once the controller exists; read only on the window thread.
InstallerControllerBase* g_controller = nullptr;

void ActionStatus::execute() {
    if (g_controller) g_controller->OnStatus(text, kind);
}

void ActionPortNotFound::execute() {
    if (g_controller) g_controller->OnPortNotFound();
}

void ActionConnected::execute() {
    if (g_controller) g_controller->OnConnected(connected);
}

void ActionPicProgram::execute() {
    if (g_controller) g_controller->OnPicProgram();
}

void ActionBlackfinErasePreamble::execute() {
    if (g_controller) g_controller->OnBlackfinErasePreamble();
}

void ActionBlackfinErasePostamble::execute() {
    if (g_controller) g_controller->OnBlackfinErasePostamble();
}

void ActionProgressed::execute() {
    if (g_controller) g_controller->OnProgressed(recordsLeft);
}

void ActionComplete::execute() {
    if (g_controller) g_controller->OnComplete();
}

void ActionFailed::execute() {
    if (g_controller) g_controller->OnFailed();
}

void ActionNextPic::execute() {
    if (g_controller) g_controller->OnNextPic();
}

void ActionBlackfinProgramPreamble::execute() {
    if (g_controller) g_controller->OnBlackfinProgramPreamble();
}

void ActionPicProgramPostamble::execute() {
    if (UpdateEngine* engine = g_engine.load()) engine->VerifyPic();
}

void ActionFindPort::execute() {
    if (UpdateEngine* engine = g_engine.load()) engine->findPort(portNumber);
}

void ActionSerialEvent::execute() {
    if (UpdateEngine* engine = g_engine.load()) engine->dispatchSerialEvent(type, value);
}

void ActionSendCommand::execute() {
    UpdateEngine* engine = g_engine.load();
    if (!engine) return;
    if (!statusText.empty()) engine->postStatus(statusText);
    engine->sendCommand(response.release(), command);
}
