// Composes the failure texts and reports them to the window: a status text
// first, then (for line and transfer failures) an ActionFailed.
#include "serial/FailureReports.h"

#include "engine/UpdateEngine.h"

namespace {

const char* const CommunicationsPrefix = "Communications failed - ";
const char* const ConnectionPrefix = "Connection failed - ";
const char* const Undetermined = "Reason undetermined";

std::string framed(const char* prefix, const char* reason) {
    std::string text(prefix);
    text += reason;
    text += '.';
    return text;
}

}  // namespace

const char* lineErrorReason(int32_t mask) {
    switch (mask) {
    case 1: return "An input buffer overflow has occurred";
    case 2: return "A character-buffer over-run has occurred";
    case 4: return "The hardware detected a parity error";
    case 8: return "The hardware detected a framing error";
    case 16: return "The hardware detected a break condition";
    default: return Undetermined;
    }
}

const char* transferFailureReason(int32_t direction) {
    return direction != 0 ? "Unable to read from port" : "Unable to write to port";
}

const char* connectionFailureReason(int openResult) {
    switch (openResult) {
    case 1: return "Device handle allocation failed";
    case 2: return "Illegal serial port configuration settings";
    case 3: return "Illegal comm timeout settings";
    case 4: return "Illegal com port id";
    case 5: return "Illegal parity setting";
    case 6: return "Illegal baud rate setting";
    case 7: return "Illegal Rx/Tx word size";
    case 8: return "Illegal com mask setting";
    default: return Undetermined;
    }
}

std::string lineErrorText(int32_t mask) {
    return framed(CommunicationsPrefix, lineErrorReason(mask));
}

std::string transferFailureText(int32_t direction) {
    return framed(CommunicationsPrefix, transferFailureReason(direction));
}

std::string connectionFailureText(int openResult) {
    return framed(ConnectionPrefix, connectionFailureReason(openResult));
}

bool isCommunicationsFailureText(const std::string& text) {
    return text.compare(0, std::char_traits<char>::length(CommunicationsPrefix), CommunicationsPrefix) == 0;
}

void UpdateEngine::reportLineError(int32_t mask) {
    postStatus(lineErrorText(mask));
    postFailed();
}

void UpdateEngine::reportTransferFailure(int32_t direction) {
    postStatus(transferFailureText(direction));
    postFailed();
}

void UpdateEngine::reportConnectionFailure(int openResult) {
    // The caller follows it with ActionPortNotFound; no failure action here.
    postStatus(connectionFailureText(openResult));
}
