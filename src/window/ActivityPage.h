#pragma once

#include "core/WorkerPool.h"
#include "window/ActivityLog.h"
#include "window/Page.h"

#include <QPointer>
#include <QVBoxLayout>

#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

namespace corvane {

class MainWindow;

// The newest final records of the command log in plain words. The log is read on a thread of the
// page's own; a read asked for while one runs is done once that one ends.
class ActivityPage : public Page {
    Q_OBJECT

public:
    explicit ActivityPage(MainWindow& window);
    ~ActivityPage() override;

    void render() override;
    void refreshActivity();
    int listDraws() const { return listDraws_; }
    bool reading() const { return reading_; }

Q_SIGNALS:
    void drawn();

private:
    using Rows = std::optional<std::vector<ActivityLog::Row>>;
    void show(Rows rows);
    static QCoro::Task<> read(QPointer<ActivityPage> page, WorkerPool* pool,
                              std::filesystem::path file);

    MainWindow& window_;
    QVBoxLayout* list_ = nullptr;
    std::optional<Rows> snapshot_;
    bool reading_ = false;
    bool again_ = false;
    int listDraws_ = 0;
    // Last member: waited for first when the page goes.
    std::unique_ptr<WorkerPool> reader_ = std::make_unique<WorkerPool>(1);
};

} // namespace corvane
