#include "UI/Grid/GridActionHooks.h"

#include "App/AppModel.h"

namespace vintrelle::gridactions {

// The model does not offer these yet; until it does they do nothing, and the
// buttons that call them stay harmless.

void share(AppModel&, const std::vector<int64_t>&) {}

void exportCopy(AppModel&, const std::vector<int64_t>&) {}

void showInFiles(AppModel&, const std::vector<int64_t>&) {}

void showContextMenu(AppModel&, const Asset&, const std::vector<int64_t>&, const QPoint&, QWidget*) {}

}  // namespace vintrelle::gridactions
