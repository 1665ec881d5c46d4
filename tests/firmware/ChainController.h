// A test controller that drives the update chain as the installer's controller does:
// it loads each image, prepares it and starts the next engine step as the slots arrive,
// keeps a 2000 ms response timer that closes the port on expiry, and counts the
// progress steps of every phase.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/FirmwareResource.h"
#include "tests/support/TestController.h"

class ChainController : public TestController {
public:
    struct Phase {
        std::string name;     // "PIC2", "PIC3", "PIC4", "erase", "Blackfin"
        uint32_t range = 0;   // the progress bar's upper bound as the controller sets it
        size_t steps = 0;     // OnProgressed while this phase was the latest
        double began = 0;     // seconds on the performance counter
    };

    ChainController();

    // Update Instrument: image 301, PIC 2. False if the image cannot be loaded.
    bool startUpdate();

    // OnConnected(true) starts the update at once when set.
    bool updateOnConnect = false;

    std::vector<Phase> phases;
    std::vector<std::string> chainSlots;  // the slots of the chain in order, without status and progress
    size_t endings = 0;  // OnComplete and OnFailed calls: cheaper to poll than the record
    double endedAt = 0;  // seconds on the performance counter at the latest of them
    int picStep = 0;
    bool loadFailed = false;
    FirmwareResource resource;

    void OnConnected(bool connected) override;
    void OnPicProgram() override;
    void OnNextPic() override;
    void OnBlackfinProgramPreamble() override;
    void OnBlackfinErasePreamble() override;
    void OnBlackfinErasePostamble() override;
    void OnProgressed(uint32_t recordsLeft) override;
    void OnComplete() override;
    void OnFailed() override;
    void OnResponseTimeout() override;

    static double now();

private:
    uint32_t engineMode();
    uint32_t engineLinesLeft();
    void stopResponseTimer();
    void beginPhase(const std::string& name, uint32_t range);
};
