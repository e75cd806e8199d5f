#pragma once

// The code generator cannot parse the concepts in the JSON header; it needs none of its types.
#ifndef Q_MOC_RUN
#include "window/DeviceStateRows.h"
#endif
#include "window/Page.h"
#include "window/VolumeSlider.h"

#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <optional>
#include <vector>

namespace corvane {

class MainWindow;
class PageKit;

// The first page: the computer's state and the local controls, each a window action through the
// Agent's pipeline.
class ThisMacPage : public Page {
    Q_OBJECT

public:
    static constexpr const char* manualEntry = "__manual";
    static constexpr const char* bundlePattern = "^[A-Za-z0-9-]+(?:\\.[A-Za-z0-9-]+)+$";

    explicit ThisMacPage(MainWindow& window);

    void render() override;

    // The chosen app's name and params; absent (with the reason shown) when there is none.
    struct Choice {
        QString name;
        JSON params;
    };
    std::optional<Choice> chosenApp();
    // How many times the status rows were drawn (they are redrawn only when they change).
    int rowDraws() const { return rowDraws_; }

private:
    void build(PageKit& kit);
    void fillApps();
    void renderRows(const std::optional<JSON>& report);
    void run(const char* action, JSON params = JSON(JSON::Object{}));
    void sendVolume();
    void openWebsite();
    void openApp();
    void quitApp();
    void lock();
    void sleep();
    void closeTabs();

    MainWindow& window_;
    QPushButton* readButton_ = nullptr;
    QLabel* state_ = nullptr;
    QLabel* details_ = nullptr;
    QWidget* statusRows_ = nullptr;
    QGridLayout* rowGrid_ = nullptr;
    std::optional<std::vector<DeviceStateRows::Row>> statusSignature_;
    std::optional<QString> noteShown_;
    VolumeSlider* volume_ = nullptr;
    QLabel* volumeValue_ = nullptr;
    QLineEdit* website_ = nullptr;
    QComboBox* appPicker_ = nullptr;
    QLineEdit* appName_ = nullptr;
    QComboBox* cleanupBrowser_ = nullptr;
    int rowDraws_ = 0;
};

} // namespace corvane
