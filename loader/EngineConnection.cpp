// The engine's side of a connection attempt: opening the chosen port, the retry
// on the same port, and the sign-on that follows a successful open.
#include "engine/Actions.h"
#include "engine/UpdateEngine.h"
#include "loader/SignOnResponse.h"
#include "serial/SerialPort.h"

void UpdateEngine::findPort(uint32_t portNumber) {
    auto held = lock.lock();
    if (!port) return;
    mode = Connecting;
    // Success needs nothing here: the port's PortOpened report starts the sign-on.
    const int result = port->open(portNumber);
    if (result != PortOpenOk) {
        reportConnectionFailure(result);
        postToWindow(new ActionPortNotFound());
    }
}

void UpdateEngine::reconnect() {
    auto held = lock.lock();
    if (port) postWork(new ActionFindPort(port->getPortNumber()));
}

void UpdateEngine::startSignOn() {
    auto held = lock.lock();
    currentResponse.reset(new SignOnResponse());
    currentResponse->setCommand("###");
    connectionSummary.clear();
    // No CR LF and no response timer: the connect timer covers the sign-on.
    if (port && port->isOpen()) port->write("###");
}
