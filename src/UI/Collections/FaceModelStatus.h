#pragma once
// Whether the face model that ships with the application could be loaded.
// Finding out loads its networks, which takes a while the first time, so
// the question is asked once, on a worker thread, and the answer comes back
// on the main thread. Until then the answer is unknown, and nobody should
// say that the model is missing.

#include <QObject>

#include <functional>

namespace vintrelle {

class FaceModelStatus final : public QObject {
    Q_OBJECT
public:
    enum class State { unknown, checking, available, missing };
    // Answers on a worker thread: true when the model loaded.
    using Check = std::function<bool()>;

    // The application's one answer (made on first use, never released).
    static FaceModelStatus& shared();

    State state() const { return state_; }
    bool isMissing() const { return state_ == State::missing; }
    // Starts the check when nobody has asked yet.
    void request();
    // The question asked; the face analyser's by default.
    void setCheck(Check check) { check_ = std::move(check); }
    // Takes an answer (from the worker, or from a test).
    void setState(State state);

signals:
    void stateChanged();

private:
    FaceModelStatus();
    State state_ = State::unknown;
    Check check_;
    int asked_ = 0;  // tells a late answer from the current question
};

}  // namespace vintrelle
