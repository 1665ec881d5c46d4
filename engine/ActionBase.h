// One unit of work or one result: created on some thread, queued, then executed
// once and destroyed by the thread that pops it.
#pragma once

class ActionBase {
public:
    virtual ~ActionBase() = default;
    virtual void execute() = 0;
};
