#pragma once
// The application's actions on chosen assets that the grid screen's
// selection bar and the grid's right-click reach: one function each, so the
// screen's widgets stay free of how the desktop shares, copies and reveals.

#include <QPoint>

#include <cstdint>
#include <vector>

#include "Core/Index/Models.h"

class QWidget;

namespace vintrelle {

class AppModel;

namespace gridactions {

void share(AppModel& model, const std::vector<int64_t>& ids);
void exportCopy(AppModel& model, const std::vector<int64_t>& ids);
void showInFiles(AppModel& model, const std::vector<int64_t>& ids);
// The grid's menu for a right-click on `asset`, acting on `ids`, at globalPos.
void showContextMenu(AppModel& model, const Asset& asset, const std::vector<int64_t>& ids, const QPoint& globalPos,
                     QWidget* parent);

}  // namespace gridactions

}  // namespace vintrelle
