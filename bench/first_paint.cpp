// How long a new window of a given class shows nothing of its own on the X
// server: from the moment it is viewable until the pixels at a few points
// inside it are no longer what lay under it (bench/first_paint.sh runs the
// server with a black root, so "black"). Polls every half millisecond.
//
//   first_paint CLASS [TIMEOUT_S]
// prints {"class":..., "black_ms":..., "viewable_after_ms":...}

#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

bool hasClass(xcb_connection_t* c, xcb_window_t w, const std::string& cls) {
    auto cookie = xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256);
    xcb_get_property_reply_t* r = xcb_get_property_reply(c, cookie, nullptr);
    if (!r) return false;
    const int len = xcb_get_property_value_length(r);
    const char* v = static_cast<const char*>(xcb_get_property_value(r));
    // WM_CLASS is the instance name and the class name, each ended by a zero.
    bool found = false;
    for (int at = 0; at < len && !found;) {
        const std::string part(v + at, strnlen(v + at, size_t(len - at)));
        found = part == cls;
        at += int(part.size()) + 1;
    }
    free(r);
    return found;
}

xcb_window_t find(xcb_connection_t* c, xcb_window_t parent, const std::string& cls) {
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, parent), nullptr);
    if (!tree) return 0;
    xcb_window_t* kids = xcb_query_tree_children(tree);
    const int n = xcb_query_tree_children_length(tree);
    xcb_window_t out = 0;
    for (int i = 0; i < n && !out; ++i)
        out = hasClass(c, kids[i], cls) ? kids[i] : find(c, kids[i], cls);
    free(tree);
    return out;
}

bool viewable(xcb_connection_t* c, xcb_window_t w) {
    auto* a = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, w), nullptr);
    const bool v = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
    free(a);
    return v;
}

// True when every probe point of the window is black.
bool black(xcb_connection_t* c, xcb_window_t w) {
    auto* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr);
    if (!g) return true;
    const int W = g->width, H = g->height;
    free(g);
    for (auto [fx, fy] : {std::pair{0.5, 0.5}, std::pair{0.75, 0.3}, std::pair{0.3, 0.8}, std::pair{0.9, 0.9}}) {
        auto* img = xcb_get_image_reply(
            c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, w, int16_t(W * fx), int16_t(H * fy), 1, 1, ~0u), nullptr);
        if (!img) return true;
        uint32_t px = 0;
        std::memcpy(&px, xcb_get_image_data(img), std::min<size_t>(4, size_t(xcb_get_image_data_length(img))));
        free(img);
        if ((px & 0xFFFFFF) != 0) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: first_paint CLASS [TIMEOUT_S]\n");
        return 2;
    }
    const std::string cls = argv[1];
    const double timeout = argc > 2 ? std::atof(argv[2]) * 1000 : 60000;
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) return 2;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const auto start = Clock::now();
    xcb_window_t w = 0;
    while (!(w = find(c, root, cls)) || !viewable(c, w)) {
        if (msSince(start) > timeout) return 1;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const auto shown = Clock::now();
    const double viewableAfter = msSince(start);
    while (black(c, w)) {
        if (msSince(shown) > timeout) return 1;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    std::printf("{\"class\":\"%s\",\"black_ms\":%.1f,\"viewable_after_ms\":%.1f}\n", cls.c_str(), msSince(shown),
                viewableAfter);
    xcb_disconnect(c);
    return 0;
}
