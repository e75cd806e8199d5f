#pragma once

#include "core/WorkerPool.h"
#include "window/ActivityLog.h"
#include "window/Page.h"

#include <QFileSystemWatcher>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace corvane {

class MainWindow;

// The newest final records of the command log in plain words. The log is read on a thread of the
// page's own; a read asked for while one runs is done once that one ends. The page follows the log
// while it is shown: a change of the file or of its folder (the log is replaced by renaming) reads
// it again after a short pause, so that a burst of records costs one reading.
class ActivityPage : public Page {
    Q_OBJECT

public:
    explicit ActivityPage(MainWindow& window);
    ~ActivityPage() override;

    void render() override;
    void refreshActivity();
    static constexpr std::chrono::milliseconds followPause{150};
    int listDraws() const { return listDraws_; }
    // A reading runs, or one is due after a change of the log.
    bool reading() const { return reading_ || followTimer_.isActive(); }

Q_SIGNALS:
    void drawn();

private:
    using Rows = std::optional<std::vector<ActivityLog::Row>>;
    void show(Rows rows);
    void watchLog();
    static QCoro::Task<> read(QPointer<ActivityPage> page, WorkerPool* pool,
                              std::filesystem::path file);

    MainWindow& window_;
    QVBoxLayout* list_ = nullptr;
    std::optional<Rows> snapshot_;
    bool reading_ = false;
    bool again_ = false;
    int listDraws_ = 0;
    QFileSystemWatcher watcher_;
    QTimer followTimer_;
    // Last member: waited for first when the page goes.
    std::unique_ptr<WorkerPool> reader_ = std::make_unique<WorkerPool>(1);
};

} // namespace corvane
