#include "UI/Viewer/Playback.h"

#include "UI/Viewer/LiveMovieView.h"
#include "UI/Viewer/VideoPlayerView.h"
#include "UI/Viewer/ViewerView.h"

namespace vintrelle {

void installPlayback(ViewerView& viewer) {
    AppModel& model = viewer.model();
    viewer.setVideoPlayerFactory([&model](const std::string& file, const Asset& asset, QWidget* parent) -> QWidget* {
        return new VideoPlayerView(model, file, asset, parent);
    });
    viewer.setLiveMovieFactory([](const std::string& file, std::function<void()> onFinish, QWidget* parent) -> QWidget* {
        return new LiveMovieView(file, std::move(onFinish), parent);
    });
}

}  // namespace vintrelle
