#pragma once

// An Apple icon file (.icns) rendered from an SVG, for the application
// bundle: macOS has no SVG converter of its own to do it at build time.

#include <QByteArray>
#include <QString>

#include <optional>

// The .icns bytes holding the image as PNG at every size the Finder and the
// Dock ask for, or nothing (and why, in *error) when the SVG cannot be read.
std::optional<QByteArray> renderIcns(const QByteArray& svg, QString* error = nullptr);
