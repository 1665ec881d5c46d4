// The texts of communication failures: line errors, transfer failures and
// failed opens, each framed as prefix, reason and a full stop.
#pragma once

#include <cstdint>
#include <string>

// Reason for a LineError value. The CE_ mask is compared as a whole number:
// a combination of flags has no reason of its own.
const char* lineErrorReason(int32_t mask);
// Reason for an IoFailure direction: non-zero is the receive side.
const char* transferFailureReason(int32_t direction);
// Reason for a result code of SerialPort::open.
const char* connectionFailureReason(int openResult);

// "Communications failed - <reason>." and "Connection failed - <reason>."
std::string lineErrorText(int32_t mask);
std::string transferFailureText(int32_t direction);
std::string connectionFailureText(int openResult);
// True for a text composed by lineErrorText or transferFailureText.
bool isCommunicationsFailureText(const std::string& text);
