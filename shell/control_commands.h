#pragma once

// The running mixer's side of the command line: a request from
// instance::Server turned into the engine operations a popover row or the
// output menu would call, and an answer for the one who asked.

#include "engine.h"

#include <QJsonObject>

#include <functional>

class ControlCommands {
public:
    // openPopover: what a second start of the program asks for.
    ControlCommands(RavletEngine& engine, AudioHardware& hardware, std::function<void()> openPopover);

    QJsonObject handle(const QJsonObject& request);

private:
    QJsonObject list() const;
    QJsonObject forApp(const QJsonObject& request, const QString& command);
    QJsonObject output(const QString& query);
    // "Prevent Clipping" on or off, as the header's menu sets it.
    QJsonObject limiter(const QString& state);

    RavletEngine& m_engine;
    AudioHardware& m_hardware;
    std::function<void()> m_openPopover;
};
