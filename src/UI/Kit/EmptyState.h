#pragma once
// The centred block of an empty screen: a large faint symbol, a title, a
// message of a few lines, and a quiet button only when both its title and its
// action are given. All texts are shown as given.

#include <QWidget>

#include <functional>
#include <optional>

class QPushButton;
class QSpacerItem;

namespace vintrelle {

class SymbolView;
class TextBlock;

class EmptyState : public QWidget {
    Q_OBJECT
public:
    EmptyState(const QString& symbol, const QString& title, const QString& message,
               std::optional<QString> actionTitle = std::nullopt, std::function<void()> action = {},
               QWidget* parent = nullptr);

    // Screens whose empty state changes with their state (status, search)
    // refill the same block.
    void set(const QString& symbol, const QString& title, const QString& message,
             std::optional<QString> actionTitle = std::nullopt, std::function<void()> action = {});

    QString symbol() const;
    QString title() const;
    QString message() const;
    // The action button, or null when the block shows none.
    QPushButton* actionButton() const;

private:
    SymbolView* symbol_;
    TextBlock* title_;
    TextBlock* message_;
    QPushButton* button_;
    QSpacerItem* buttonGap_;
    std::function<void()> action_;
};

}  // namespace vintrelle
