#include "UI/Window/NativeBackground.h"

#include <QColor>
#include <QGuiApplication>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <memory>

namespace vintrelle {

void setNativeBackground(QWidget& window, const QColor& colour) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection || !window.isWindow()) return;
    const auto id = xcb_window_t(window.winId());
    std::unique_ptr<xcb_get_geometry_reply_t, decltype(&free)> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, id), nullptr), &free);
    if (!geometry) return;
    // True-colour visuals of 24 and 32 bits hold red, green and blue in the
    // low three bytes; a 32-bit one takes its alpha from the top byte.
    uint32_t pixel = colour.rgb() & 0xFFFFFFu;
    if (geometry->depth == 32) pixel |= 0xFF000000u;
    xcb_change_window_attributes(connection, id, XCB_CW_BACK_PIXEL, &pixel);
    xcb_flush(connection);
}

}  // namespace vintrelle
