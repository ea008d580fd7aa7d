#pragma once

#include <QImage>
#include <QMap>
#include <QRect>
#include <QSet>
#include <QSize>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

// One output of a desktop whose screens are captured together as a single image.
struct OutputPlacement {
    QRect logical; // its geometry in the desktop's logical coordinates
    qreal ratio;   // its device pixel ratio as Qt reports it: rounded up to an integer on Wayland
    QSize native;  // its pixels as the compositor reports them; empty when unknown
};

// Where an output's pixels lie in the whole-desktop image, and the size of its still at the
// output's own density; the two differ when the image came at a higher scale than the output.
struct StillSource {
    QRect source;
    QSize native;
    qreal ratio; // the still's device pixel ratio: its pixels per point of the output's windows
};

// The desktop image spans the bounding box of every output at one scale for all (the highest
// one on wlroots). Mutter's physical layout counts device pixels instead: Qt's geometry of a
// scaled output is then its pixels, the image that layout at 1:1, and the output's windows have
// a ratio's fewer points. One entry per output, in order; empty when the image does not fit the
// layout.
std::vector<StillSource> stillSources(const std::vector<OutputPlacement>& outputs, QSize image);

// The portal's picture of the whole desktop, or null when unreadable or larger than any picture
// of this layout can be. Qt's readers refuse anything over 128 MB unless told otherwise, which
// a few large displays at scale 2 pass.
QImage readDesktopImage(const QString& path, const std::vector<OutputPlacement>& outputs);

// The names in each folder where screenshot portals leave their pictures, taken just before a
// request, by canonical folder.
using FolderListing = QMap<QString, QSet<QString>>;
FolderListing listFolders(const QStringList& folders);

// Whether the picture a portal answered our request with is a file it created for it, which is
// ours to remove: its folder was listed before the request, and its name was not in it. A file
// that was there before, or anywhere else, may be the user's own.
bool isNewPortalFile(const QString& path, const FolderListing& before);

// A still out of a shared-memory buffer the compositor filled, in one of the wl_shm formats
// ARGB8888, XRGB8888, ABGR8888 and XBGR8888 (little-endian words), its rows bottom-up when
// yInvert. Opaque, as the screen is; null for any other format.
QImage imageFromBuffer(const uchar* data, QSize size, int stride, uint32_t format, bool yInvert);
