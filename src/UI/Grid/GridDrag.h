#pragma once
// Files dragged out of the grid: their URLs in grid order, offered for
// copying only (a move dropped on a file manager would take the originals
// out of the library), under a picture of the pressed thumbnail.

#include <QMimeData>
#include <QPixmap>
#include <QPoint>

#include <memory>
#include <string>
#include <vector>

#include "Core/Index/LibraryPaths.h"

class QWidget;

namespace vintrelle {

struct GridDrag {
    std::unique_ptr<QMimeData> mime;
    QPixmap pixmap;
    QPoint hotSpot;
    Qt::DropActions actions = Qt::CopyAction;
    Qt::DropAction defaultAction = Qt::CopyAction;
};

// The library's files at the stored paths as "text/uri-list", in the order
// given, leaving out paths that would reach outside the library.
std::unique_ptr<QMimeData> fileDragData(const LibraryPaths& library, const std::vector<std::string>& relativePaths);
// The thumbnail with the number of files in a badge when there is more than one.
QPixmap dragPixmap(const QPixmap& thumbnail, int count, const QColor& badge);
// Runs the drag with `source` as its source widget, so the window can tell
// drags of its own from drags coming in (QDropEvent::source() is set).
void execDrag(QWidget* source, GridDrag& drag);

}  // namespace vintrelle
