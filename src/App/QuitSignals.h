#pragma once
// SIGINT and SIGTERM end the application the way closing its window does:
// the signal handler only writes to a pipe, and the main thread, woken by
// it, asks for the quit, so the library closes and the threads are joined as
// on any other quit.

#include <QObject>

namespace vintrelle {

class QuitSignals final : public QObject {
    Q_OBJECT

public:
    // Installs the handlers for the process; one instance at a time.
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

    bool installed() const { return installed_; }

signals:
    // On the main thread, once per signal received.
    void received(int signal);

private:
    bool installed_ = false;
};

}  // namespace vintrelle
