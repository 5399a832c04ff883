// GIO first: its headers use Qt's "signals" keyword as a name.
#include <gio/gio.h>

#include "App/PreUnmountWatcher.h"

namespace vintrelle {

PreUnmountWatcher::PreUnmountWatcher(GVolumeMonitor* monitor, QObject* parent)
    : QObject(parent),
      monitor_(monitor ? G_VOLUME_MONITOR(g_object_ref(monitor)) : g_volume_monitor_get()) {
    handler_ = g_signal_connect(monitor_, "mount-pre-unmount", G_CALLBACK(&PreUnmountWatcher::preUnmount), this);
}

PreUnmountWatcher::~PreUnmountWatcher() {
    g_signal_handler_disconnect(monitor_, handler_);
    g_object_unref(monitor_);
}

void PreUnmountWatcher::preUnmount(GVolumeMonitor*, GMount* mount, void* self) {
    GFile* root = g_mount_get_root(mount);
    if (!root) return;
    char* path = g_file_get_path(root);
    g_object_unref(root);
    if (!path) return;
    const std::string mountPoint(path);
    g_free(path);
    emit static_cast<PreUnmountWatcher*>(self)->willUnmount(mountPoint);
}

}  // namespace vintrelle
