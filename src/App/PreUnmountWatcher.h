#pragma once
// Hears that the desktop is about to unmount a drive. File managers unmount
// through GIO, whose volume monitor first tells every process that listens
// ("mount-pre-unmount"), so that files still open on the drive can be closed
// and the unmount is not refused as busy. GIO delivers on the main context of
// GLib, which is the main thread's event loop under Qt.

#include <QObject>

#include <string>

typedef struct _GVolumeMonitor GVolumeMonitor;
typedef struct _GMount GMount;

namespace vintrelle {

class PreUnmountWatcher final : public QObject {
    Q_OBJECT

public:
    // Listens to `monitor`, or to the process's own volume monitor when null.
    explicit PreUnmountWatcher(GVolumeMonitor* monitor = nullptr, QObject* parent = nullptr);
    ~PreUnmountWatcher() override;

signals:
    // The folder the drive is mounted on, as the file system spells it. A
    // mount without a local folder (a share reached by its address) is not
    // reported.
    void willUnmount(const std::string& mountPoint);

private:
    static void preUnmount(GVolumeMonitor* monitor, GMount* mount, void* self);

    GVolumeMonitor* monitor_;
    unsigned long handler_ = 0;
};

}  // namespace vintrelle
