#pragma once

// Whether an SVG document stands on its own. QtSvg follows what a document
// refers to (an <image>'s file, a stylesheet, an entity) on its own, past
// every check the icon loader makes on the file it was asked for: a file that
// refers to a FIFO blocks the loading thread for good, one that refers to a
// huge image takes its memory. Icons need none of that.

#include <QByteArray>

namespace popover {

// The largest side of an image written into an SVG (as a base64 data: URL).
inline constexpr int kMaxEmbeddedImageSide = 4096;

// True when the document refers to nothing outside itself: every reference
// (href, src, url(...)) is to a fragment of the same document ("#id") or a
// data: URL; no DOCTYPE (and so no entity), no processing instruction but the
// XML declaration, no CSS @import, no CSS escapes (which could spell either).
// Each <image> has one href, a base64 data: URL of a raster image (not an
// SVG) of at most kMaxEmbeddedImageSide pixels a side. False too for what is
// not well-formed XML. Any thread.
bool isSelfContainedSvg(const QByteArray& document);

} // namespace popover
