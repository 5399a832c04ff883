#pragma once
// The settings window: one column 500 px wide, as tall as its content, of
// four groups: the colour theme; the open library's folder, contents and
// index size with "Look for New Photos" and "Show Index in Files"; the face
// switch with "Start Over with People…"; and the version. The library's
// group and the start-over button exist only while a library is open.
//
// The index size is measured off the main thread and measured again after
// every 50 revisions of the library; a measurement that arrives for another
// library or an older revision is dropped, and another library shows "…"
// until its own size is known.

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace vintrelle {

class AppModel;
class LibraryStore;
class MessageSheet;
class TextBlock;

// A row of segments, one of them chosen; clicks and the arrow keys choose.
class SegmentedControl : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedControl(QStringList titles, QWidget* parent = nullptr);
    int current() const { return current_; }
    void setCurrent(int index);  // silently
    QRectF segmentRect(int index) const;
    QSize sizeHint() const override;

signals:
    void chosen(int index);

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    QStringList titles_;
    int current_ = 0;
};

// An on/off switch.
class ToggleSwitch : public QAbstractButton {
    Q_OBJECT
public:
    explicit ToggleSwitch(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {32, 18}; }

protected:
    void paintEvent(QPaintEvent*) override;
};

class SettingsView : public QWidget {
    Q_OBJECT
public:
    static constexpr int windowWidth = 500;
    static constexpr int revisionsPerMeasure = 50;

    // Totals the bytes of every file under a folder; stops early (with what
    // it has) when asked to. Runs off the main thread.
    using SizeMeter = std::function<uint64_t(const std::string& folder, std::stop_token stop)>;
    static uint64_t folderSize(const std::string& folder, std::stop_token stop);
    // As the settings show a size: decimal units, one decimal.
    static QString formatSize(uint64_t bytes);

    explicit SettingsView(AppModel& model, QWidget* parent = nullptr);
    ~SettingsView() override;

    // Replaces the measuring (tests hold it back to make a late result).
    void setSizeMeter(SizeMeter meter);

    // ---- what is shown ----
    SegmentedControl* themePicker() const { return theme_; }
    ToggleSwitch* facesSwitch() const { return faces_; }
    QWidget* librarySection() const { return library_; }   // null without a library
    QPushButton* startOverButton() const { return startOver_; }
    QPushButton* rescanButton() const { return rescan_; }
    QPushButton* showIndexButton() const { return showIndex_; }
    QString folderText() const;
    QString contentsText() const;
    QString indexSize() const { return indexSize_; }
    QString indexCaption() const;
    QString versionText() const;

    // Asks whether to forget every person of the library open now; when
    // confirmed, resets the people of that library only if it is still the
    // open one. Opened without a loop of its own.
    MessageSheet* confirmStartOver();
    MessageSheet* pendingConfirmation() const;

private:
    struct SizeKey {
        std::string dataDir;
        int epoch = 0;  // revision / revisionsPerMeasure
        bool operator==(const SizeKey&) const = default;
    };
    struct Measuring;

    void rebuildLibrary();
    void refreshLibrary();
    void measureIfNeeded();
    void measured(const SizeKey& key, uint64_t bytes);

    AppModel& model_;
    std::shared_ptr<LibraryStore> store_;
    QVBoxLayout* column_;
    SegmentedControl* theme_;
    ToggleSwitch* faces_;
    QWidget* library_ = nullptr;
    QLabel* folder_ = nullptr;
    TextBlock* contents_ = nullptr;
    TextBlock* size_ = nullptr;
    TextBlock* caption_ = nullptr;
    QPushButton* rescan_ = nullptr;
    QPushButton* showIndex_ = nullptr;
    QPushButton* startOver_;
    TextBlock* version_;
    QPointer<MessageSheet> confirm_;

    QString indexSize_;
    std::optional<SizeKey> shownKey_;      // what indexSize_ was measured for
    std::optional<SizeKey> requestedKey_;  // the measurement running or done last
    SizeMeter meter_;
    std::shared_ptr<Measuring> measuring_;
};

}  // namespace vintrelle
