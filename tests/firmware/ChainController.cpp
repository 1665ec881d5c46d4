// The update chain as the installer's controller runs it, for engine-level tests.
#include "tests/firmware/ChainController.h"

#include "engine/UpdateEngine.h"

ChainController::ChainController()
{
    realResponseTimer = true;
}

uint32_t ChainController::engineMode()
{
    UpdateEngine* e = engine();
    if (!e) return Idle;
    auto held = e->lock.lock();
    return e->mode;
}

uint32_t ChainController::engineLinesLeft()
{
    // Read without the lock, as the controller does, right after the image was
    // attached and before the worker starts on it.
    return engine() ? engine()->imageLinesLeft : 0;
}

void ChainController::stopResponseTimer()
{
    // The handlers stop the response timer the way the engine asks for it.
    if (responseTimerRunning) SendMessageA(window(), WM_ENGINE_TIMER, ResponseTimerId, 0);
}

void ChainController::beginPhase(const std::string& name, uint32_t range)
{
    Phase p;
    p.name = name;
    p.range = range;
    p.began = now();
    phases.push_back(p);
}

double ChainController::now()
{
    LARGE_INTEGER frequency, count;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    return static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool ChainController::startUpdate()
{
    chainSlots.push_back("Update");
    if (!resource.LoadFirmwareResource(301, "TALVOR_HEX")) {
        loadFailed = true;
        return false;
    }
    picStep = 0;
    engine()->PreparePicImage(2, resource.resourceSize, resource.resourceData);
    return true;
}

void ChainController::OnConnected(bool connected)
{
    TestController::OnConnected(connected);
    chainSlots.push_back("OnConnected");
    stopResponseTimer();
    if (connected && updateOnConnect) startUpdate();
}

void ChainController::OnPicProgram()
{
    TestController::OnPicProgram();
    chainSlots.push_back("OnPicProgram");
    stopResponseTimer();
    beginPhase("PIC" + std::to_string(picStep + 2), engineLinesLeft());
    engine()->ProgramPic();
}

void ChainController::OnNextPic()
{
    TestController::OnNextPic();
    chainSlots.push_back("OnNextPic");
    stopResponseTimer();
    ++picStep;
    if (!resource.LoadFirmwareResource(static_cast<WORD>(301 + picStep), "TALVOR_HEX")) {
        loadFailed = true;
        return;
    }
    engine()->PreparePicImage(static_cast<uint32_t>(picStep + 2), resource.resourceSize, resource.resourceData);
}

void ChainController::OnBlackfinProgramPreamble()
{
    TestController::OnBlackfinProgramPreamble();
    chainSlots.push_back("OnBlackfinProgramPreamble");
    stopResponseTimer();
    if (!resource.LoadFirmwareResource(300, "TALVOR_LDR")) {
        loadFailed = true;
        return;
    }
    engine()->PrepareBlackfinImage(resource.resourceSize, resource.resourceData);
}

void ChainController::OnBlackfinErasePreamble()
{
    TestController::OnBlackfinErasePreamble();
    chainSlots.push_back("OnBlackfinErasePreamble");
    stopResponseTimer();
    beginPhase("erase", 12);
    engine()->EraseBlackfin();
}

void ChainController::OnBlackfinErasePostamble()
{
    TestController::OnBlackfinErasePostamble();
    chainSlots.push_back("OnBlackfinErasePostamble");
    stopResponseTimer();
    beginPhase("Blackfin", engineLinesLeft() - 1);
    engine()->ProgramBlackfin();
}

void ChainController::OnProgressed(uint32_t recordsLeft)
{
    TestController::OnProgressed(recordsLeft);
    if (!phases.empty()) ++phases.back().steps;
}

void ChainController::OnComplete()
{
    TestController::OnComplete();
    chainSlots.push_back("OnComplete");
    ++endings;
    endedAt = now();
    stopResponseTimer();
    resource.release();
    closePort(true);
}

void ChainController::OnFailed()
{
    TestController::OnFailed();
    chainSlots.push_back("OnFailed");
    ++endings;
    endedAt = now();
    // While the PICs are programmed the engine is still Connecting, and the
    // controller keeps its image and timers then.
    if (engineMode() != Connecting) {
        stopResponseTimer();
        resource.release();
    }
    closePort(true);
}

void ChainController::OnResponseTimeout()
{
    TestController::OnResponseTimeout();
    chainSlots.push_back("OnResponseTimeout");
    // Closing an open port while the engine is busy comes back as OnFailed.
    if (engineMode() != Idle) closePort(false);
}
