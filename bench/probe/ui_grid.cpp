// vintrelle-probe ui options for the photo grid:
//   --thumb N        the grid's target thumbnail size (72 … 320), set before the route is shown
//   --select I,J,... selects the assets at those positions of the route's flat list
//   --search TEXT    types TEXT into the search field once the route is shown

#include <sstream>

#include "App/AppModel.h"
#include "UiProbe.h"
#include "VintrelleApp.h"

namespace {

using namespace vintrelle;

probe::UiOption thumb("--thumb", "N", probe::UiStage::afterOpen,
                      [](probe::UiSession& s, const std::string& value) -> std::string {
                          char* end = nullptr;
                          const double size = std::strtod(value.c_str(), &end);
                          if (end == value.c_str() || *end || size < 72 || size > 320)
                              return "bad --thumb " + value + " (72 to 320)";
                          s.model.setThumbSize(size);
                          return {};
                      });

probe::UiOption select("--select", "I,J,...", probe::UiStage::afterRoute,
                       [](probe::UiSession& s, const std::string& value) -> std::string {
                           const auto flat = s.model.gridContent()->flat;
                           AppModel::Selection chosen;
                           std::stringstream in(value);
                           std::string item;
                           while (std::getline(in, item, ',')) {
                               char* end = nullptr;
                               const long i = std::strtol(item.c_str(), &end, 10);
                               if (item.empty() || *end || i < 0 || size_t(i) >= flat->size())
                                   return "no position " + item + " among " + std::to_string(flat->size());
                               chosen.insert((*flat)[size_t(i)].id);
                           }
                           s.model.setSelection(std::move(chosen));
                           s.out["selected"] = s.model.selection().size();
                           return {};
                       });

probe::UiOption search("--search", "TEXT", probe::UiStage::afterRoute,
                       [](probe::UiSession& s, const std::string& value) -> std::string {
                           s.model.setSearch(value);
                           // The grid follows the search after its debounce.
                           VintrelleApp::waitFor(400, [] { return false; });
                           s.settle(10000);
                           return {};
                       });

}  // namespace
