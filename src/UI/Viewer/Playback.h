#pragma once
// Puts video and live-photo playback into a viewer: videos play in a
// VideoPlayerView, live photos' movies in a LiveMovieView over the still.

namespace vintrelle {

class ViewerView;

void installPlayback(ViewerView& viewer);

}  // namespace vintrelle
