#include "window/ActivityPage.h"

#include "core/Detached.h"
#include "window/MainWindow.h"
#include "window/PageKit.h"

#include <QFileInfo>
#include <QUrl>

namespace corvane {

ActivityPage::ActivityPage(MainWindow& window)
    : window_(window) {
    setObjectName(QStringLiteral("activityPage"));
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(24);
    stack->addWidget(PageKit::heading(QStringLiteral("Recent activity")));

    auto* refresh = PageKit::actionButton(QStringLiteral("Refresh activity"), "arrow.clockwise",
                                          QStringLiteral("refreshActivity"));
    QObject::connect(refresh, &QPushButton::clicked, this, [this] { refreshActivity(); });
    // The desktop's file manager opens the folder that holds the log.
    auto* showLog = PageKit::actionButton(QStringLiteral("Show log in Finder"), "folder",
                                          QStringLiteral("showLog"));
    QObject::connect(showLog, &QPushButton::clicked, this, [this] {
        window_.services().prompts.openInBrowser(
            QUrl::fromLocalFile(QString::fromStdString(window_.agent()->directory().string()))
                .toString()
                .toStdString());
    });
    auto* accessories = new QWidget;
    auto* accessoryRow = new QHBoxLayout(accessories);
    accessoryRow->setContentsMargins(0, 0, 0, 0);
    accessoryRow->addWidget(refresh);
    accessoryRow->addWidget(showLog);
    auto* listHolder = new QWidget;
    listHolder->setObjectName(QStringLiteral("activityList"));
    list_ = new QVBoxLayout(listHolder);
    list_->setContentsMargins(0, 0, 0, 0);
    stack->addWidget(PageKit::card(
        QStringLiteral("Latest commands"),
        QStringLiteral("Full parameters stay in the private log on this Mac. State responses are "
                       "never recorded."),
        accessories, {listHolder}));
    stack->addStretch(1);

    followTimer_.setSingleShot(true);
    followTimer_.setInterval(followPause);
    QObject::connect(&followTimer_, &QTimer::timeout, this, [this] { refreshActivity(); });
    QObject::connect(&watcher_, &QFileSystemWatcher::fileChanged, this,
                     [this] { followTimer_.start(); });
    QObject::connect(&watcher_, &QFileSystemWatcher::directoryChanged, this,
                     [this] { followTimer_.start(); });
    watchLog();
}

void ActivityPage::watchLog() {
    const std::filesystem::path& directory = window_.agent()->directory();
    const QString folder = QString::fromStdString(directory.string());
    const QString log = QString::fromStdString((directory / "commands.jsonl").string());
    if (!watcher_.directories().contains(folder)) {
        watcher_.addPath(folder);
    }
    // A replaced file drops out of the watch: taken up again after every reading.
    if (!watcher_.files().contains(log) && QFileInfo::exists(log)) {
        watcher_.addPath(log);
    }
}

ActivityPage::~ActivityPage() {
    reader_.reset();
}

void ActivityPage::render() {
    refreshActivity();
}

void ActivityPage::refreshActivity() {
    if (reading_) {
        again_ = true;
        return;
    }
    reading_ = true;
    startDetached(read(QPointer<ActivityPage>(this), reader_.get(),
                       window_.agent()->directory() / "commands.jsonl"),
                  [page = QPointer<ActivityPage>(this)](std::exception_ptr) {
                      if (page) {
                          page->reading_ = false;
                      }
                  });
}

QCoro::Task<> ActivityPage::read(QPointer<ActivityPage> page, WorkerPool* pool,
                                 std::filesystem::path file) {
    std::function<Rows()> work = [file] {
        return ActivityLog::read(file);
    };
    Rows rows = co_await pool->run(std::move(work));
    if (!page) {
        co_return;
    }
    page->reading_ = false;
    page->watchLog();
    page->show(std::move(rows));
    if (page->again_) {
        page->again_ = false;
        page->refreshActivity();
    }
}

void ActivityPage::show(Rows rows) {
    if (snapshot_.has_value() && *snapshot_ == rows) {
        Q_EMIT drawn();
        return;
    }
    snapshot_ = rows;
    ++listDraws_;
    while (QLayoutItem* item = list_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (!rows || rows->empty()) {
        list_->addWidget(PageKit::label(
            QString::fromUtf8(rows ? ActivityLog::emptyText : ActivityLog::unreadableText), 13,
            false, true));
        Q_EMIT drawn();
        return;
    }
    for (const ActivityLog::Row& row : *rows) {
        auto* line = new QWidget;
        line->setObjectName(QStringLiteral("activityRow"));
        auto* layout = new QHBoxLayout(line);
        layout->setContentsMargins(0, 0, 0, 0);
        QLabel* action = PageKit::label(row.action, 13, true);
        action->setObjectName(QStringLiteral("action"));
        QLabel* outcome = PageKit::label(row.outcome, 13);
        outcome->setObjectName(QStringLiteral("outcome"));
        QLabel* time = PageKit::label(row.time, 12, false, true);
        layout->addWidget(action, 2);
        layout->addWidget(outcome, 3);
        layout->addWidget(time, 2);
        list_->addWidget(line);
    }
    Q_EMIT drawn();
}

} // namespace corvane
