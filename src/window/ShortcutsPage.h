#pragma once

#include "window/Page.h"

#include <QLineEdit>
#include <QVBoxLayout>

#include <optional>
#include <string>
#include <vector>

namespace corvane {

class MainWindow;

// The allowlist of Shortcuts callers may run: add, run (confirmed), remove (not confirmed).
class ShortcutsPage : public Page {
    Q_OBJECT

public:
    explicit ShortcutsPage(MainWindow& window);

    void render() override;
    // Redraws the list when the Agent's list differs from the one drawn, or always when `force`.
    void renderShortcuts(bool force);

    // Position-based, as the buttons carry it: a position outside the list does nothing.
    void runShortcut(int position);
    void removeShortcut(int position);
    int listDraws() const { return listDraws_; }

private:
    void addShortcut();

    MainWindow& window_;
    QLineEdit* shortcut_ = nullptr;
    QVBoxLayout* list_ = nullptr;
    std::optional<std::vector<std::string>> snapshot_;
    int listDraws_ = 0;
};

} // namespace corvane
