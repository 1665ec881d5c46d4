// Parser of the loader's answer to "###": finds the sign-on line, composes the
// start of the connection summary and asks for the versions.
#pragma once

#include "loader/VersionResponseBase.h"

class SignOnResponse : public VersionResponseBase {
public:
    bool processByte(unsigned char byte) override;
};
