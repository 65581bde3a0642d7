#pragma once

// The running mixer's side of the command line: a request from
// instance::Server turned into the engine operations a popover row or the
// output menu would call, and an answer for the one who asked.

#include "engine.h"

#include <QJsonObject>

#include <functional>
#include <optional>

class ControlCommands {
public:
    // openPopover: what a second start of the program asks for.
    ControlCommands(RavletEngine& engine, AudioHardware& hardware, std::function<void()> openPopover);

    QJsonObject handle(const QJsonObject& request);

private:
    QJsonObject list() const;
    // The application a script named, among the rows and then the
    // remembered applications; nothing, with error saying why, when none
    // or several are called so.
    std::optional<AppEntry> findApp(const QString& query, QString& error) const;
    QJsonObject forApp(const QJsonObject& request, const QString& command);
    QJsonObject output(const QString& query);
    // Plays one application on a device, or on the default ("default").
    QJsonObject route(const QJsonObject& request);
    // The name of the device the application is to play on, or "default".
    QString outputOf(const QString& id) const;
    // "Prevent Clipping" on or off, as the header's menu sets it.
    QJsonObject limiter(const QString& state);

    RavletEngine& m_engine;
    AudioHardware& m_hardware;
    std::function<void()> m_openPopover;
};
