#pragma once

#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <vector>

// One output of a desktop whose screens are captured together as a single image.
struct OutputPlacement {
    QRect logical; // its geometry in the desktop's logical coordinates
    qreal ratio;   // its device pixel ratio
};

// Where an output's pixels lie in the whole-desktop image, and the size of its still at the
// output's own density; the two differ when the image came at a higher scale than the output.
struct StillSource {
    QRect source;
    QSize native;
};

// The desktop image spans the bounding box of every output at one scale for all (the highest
// one on wlroots). One entry per output, in order; empty when the image does not fit the layout.
std::vector<StillSource> stillSources(const std::vector<OutputPlacement>& outputs, QSize image);

// Whether a file the screenshot portal handed over is a scratch copy that is ours to delete: it
// lies right inside one of the scratch folders. Anything else may be in the user's own folders.
bool isScratchFile(const QString& path, const QStringList& scratchFolders);
