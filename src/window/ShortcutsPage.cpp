#include "window/ShortcutsPage.h"

#include "actions/ShortcutAllowlist.h"
#include "window/MainWindow.h"
#include "window/PageKit.h"

namespace corvane {

ShortcutsPage::ShortcutsPage(MainWindow& window)
    : window_(window) {
    setObjectName(QStringLiteral("shortcutsPage"));
    PageKit kit(window);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(24);
    stack->addWidget(PageKit::heading(QStringLiteral("Your Shortcuts")));

    shortcut_ = PageKit::field(QStringLiteral("Exact Shortcut name"), QStringLiteral("shortcut"));
    auto* add = PageKit::actionButton(QStringLiteral("Add Shortcut"), "plus",
                                      QStringLiteral("addShortcut"));
    QObject::connect(add, &QPushButton::clicked, this, [this] { addShortcut(); });
    QObject::connect(shortcut_, &QLineEdit::returnPressed, this, [this] { addShortcut(); });
    stack->addWidget(PageKit::card(
        QStringLiteral("Add an approved Shortcut"),
        QStringLiteral("Use its exact name from Apple Shortcuts. Shortcuts can run code; add only "
                       "ones you trust."),
        nullptr, {kit.row({shortcut_, add})}));

    auto* open = PageKit::actionButton(QStringLiteral("Open Apple Shortcuts"), "arrow.up.right",
                                       QStringLiteral("openShortcuts"));
    QObject::connect(open, &QPushButton::clicked, this, [this] {
        window_.intents().runLocalAction(
            "open_app",
            JSON(JSON::Object{{"bundle_id", JSON(std::string("com.apple.shortcuts"))}}));
    });
    auto* listHolder = new QWidget;
    listHolder->setObjectName(QStringLiteral("shortcutsList"));
    list_ = new QVBoxLayout(listHolder);
    list_->setContentsMargins(0, 0, 0, 0);
    stack->addWidget(
        PageKit::card(QStringLiteral("Approved on this Mac"), QString(), open, {listHolder}));
    stack->addStretch(1);
}

void ShortcutsPage::render() {
    renderShortcuts(false);
}

void ShortcutsPage::renderShortcuts(bool force) {
    const std::vector<std::string>& names = window_.agent()->shortcuts();
    if (!force && snapshot_ == names) {
        return;
    }
    snapshot_ = names;
    ++listDraws_;
    while (QLayoutItem* item = list_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (names.empty()) {
        list_->addWidget(PageKit::label(
            QStringLiteral("No Shortcuts added yet. Start with a simple routine you know."), 13,
            false, true));
        return;
    }
    PageKit kit(window_);
    for (int position = 0; position < static_cast<int>(names.size()); ++position) {
        const QString name = QString::fromStdString(names[static_cast<std::size_t>(position)]);
        QLabel* label = PageKit::label(name, 13);
        auto* run = PageKit::actionButton(QString(), "play.fill", QStringLiteral("run:") + name);
        run->setAccessibleName(QStringLiteral("Run ") + name);
        auto* remove =
            PageKit::actionButton(QStringLiteral("Remove"), {}, QStringLiteral("remove:") + name);
        QObject::connect(run, &QPushButton::clicked, this,
                         [this, position] { runShortcut(position); });
        QObject::connect(remove, &QPushButton::clicked, this,
                         [this, position] { removeShortcut(position); });
        list_->addWidget(kit.row({label, run, remove}));
    }
}

void ShortcutsPage::addShortcut() {
    const std::string name = shortcut_->text().toStdString();
    window_.intents().saveShortcut(name);
    if (ShortcutAllowlist::isValidName(name)) {
        shortcut_->clear();
    }
    render();
}

void ShortcutsPage::runShortcut(int position) {
    const std::vector<std::string>& names = window_.agent()->shortcuts();
    if (position < 0 || position >= static_cast<int>(names.size())) {
        return;
    }
    const std::string name = names[static_cast<std::size_t>(position)];
    window_.confirm(this,
                    QStringLiteral("Run “") + QString::fromStdString(name) + QStringLiteral("”?"),
                    QStringLiteral("This runs the approved Shortcut on this Mac. Its steps may "
                                   "change data or execute code."),
                    QStringLiteral("Run Shortcut"), [this, name] {
                        window_.intents().runLocalAction("run_shortcut",
                                                         JSON(JSON::Object{{"name", JSON(name)}}));
                    });
}

void ShortcutsPage::removeShortcut(int position) {
    const std::vector<std::string>& names = window_.agent()->shortcuts();
    if (position < 0 || position >= static_cast<int>(names.size())) {
        return;
    }
    window_.intents().removeShortcut(names[static_cast<std::size_t>(position)]);
    render();
}

} // namespace corvane
