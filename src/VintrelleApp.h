#pragma once
// The application scene: the one main window over the application state,
// with every screen, bar and panel of the interface plugged into it. The
// application and the diagnostics' picture of the window build it the same
// way, so what the picture shows is what a person sees.

#include <QApplication>
#include <QStackedLayout>

#include <clocale>
#include <memory>

#include "App/AppModel.h"
#include "Store/LibraryStore.h"
#include "UI/Grid/PhotoGridView.h"
#include "UI/Kit/Theme.h"
#include "UI/Window/AppIcon.h"
#include "UI/Window/MainWindow.h"
#include "UI/Window/PlainParts.h"
#include "UI/Window/RootView.h"

namespace vintrelle {

// The asset routes as the bare photo grid over the route's content, with the
// route's empty-state block when there is nothing to show; it gives way to
// the asset grid screen with its headers, scrubber and selection bar.
class BareGridScreen : public QWidget {
public:
    BareGridScreen(AppModel& model, const std::shared_ptr<LibraryStore>& store, QWidget* parent)
        : QWidget(parent), model_(model) {
        const std::optional<int64_t> served =
            model.scrollRequest() ? std::optional<int64_t>(model.scrollRequest()->token) : std::nullopt;
        PhotoGridView::Callbacks callbacks;
        callbacks.open = [this](const Asset& asset) { model_.open(asset, grid_->content()->flat); };
        callbacks.selectionChanged = [this](const std::vector<int64_t>& ids) {
            model_.setSelection(AppModel::Selection(ids.begin(), ids.end()));
        };
        callbacks.visibleSectionChanged = [this](const std::string& title) { model_.setVisibleSection(title); };
        grid_ = new PhotoGridView(GridLibrary::of(*store), std::move(callbacks), served, this);
        empty_ = new RoutePlaceholder(ScreenKind::assets, model, store, this);
        layout_ = new QStackedLayout(this);
        layout_->addWidget(grid_);
        layout_->addWidget(empty_);
        for (auto signal : {&AppModel::gridContentChanged, &AppModel::thumbSizeChanged, &AppModel::selectionChanged,
                            &AppModel::scrollRequestChanged})
            connect(&model_, signal, this, [this] { refresh(); });
        refresh();
    }
    bool settle(int msecs) { return layout_->currentWidget() != grid_ || grid_->waitForThumbnails(msecs); }

private:
    void refresh() {
        const GridContentPtr content = model_.gridContent();
        grid_->setContent(content);
        grid_->setThumbSize(model_.thumbSize());
        grid_->setSelection(model_.selection());
        if (const auto& request = model_.scrollRequest()) grid_->requestScroll(request->section, request->token);
        layout_->setCurrentWidget(content->flat->empty() ? static_cast<QWidget*>(empty_) : grid_);
    }

    AppModel& model_;
    PhotoGridView* grid_;
    RoutePlaceholder* empty_;
    QStackedLayout* layout_;
};

struct VintrelleApp {
    // Names the application to the desktop (the window class matches the
    // desktop file "vintrelle.desktop"), keeps numbers in data "C", and puts
    // the theme in place. Right after the QApplication is made.
    static void prepare(QApplication& app) {
        QApplication::setApplicationName(QStringLiteral("vintrelle"));
        QApplication::setApplicationDisplayName(QStringLiteral("Vintrelle"));
        QGuiApplication::setDesktopFileName(QStringLiteral("vintrelle"));
        QApplication::setWindowIcon(AppIcon::icon());
        // Qt takes the user's locale; printf and strtod would then write and
        // read "2,5" in keys and stored texts.
        std::setlocale(LC_NUMERIC, "C");
        Theme::install(app);
    }

    // The main window with the parts of the interface that exist.
    static std::unique_ptr<MainWindow> makeWindow(AppModel& model) {
        auto window = std::make_unique<MainWindow>(model);
        installParts(*window, model);
        return window;
    }

    // Each part built outside the window folder plugs in here; until then the
    // window's own plain version stands in for it.
    static void installParts(MainWindow& window, AppModel& model) {
        (void)model;
        window.root().setScreen(
            ScreenKind::assets,
            {[](AppModel& m, const std::shared_ptr<LibraryStore>& store, QWidget* parent) -> QWidget* {
                 return new BareGridScreen(m, store, parent);
             },
             [](QWidget* screen, int msecs) { return static_cast<BareGridScreen*>(screen)->settle(msecs); }});
    }
};

}  // namespace vintrelle
