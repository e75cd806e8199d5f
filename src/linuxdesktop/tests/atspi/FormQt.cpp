// A Qt 6 Widgets form the accessibility tests operate: a text field, a password field, buttons,
// a scroll area, a menu and a pure red button ("Block", for clicks at image points and the image's
// colour). Each press and every change of the text field is printed on standard
// output ("pressed Save", "text abc"). --rows N puts N buttons in the scroll area.
#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <cstdio>

namespace {

void report(const char* what, const QString& detail) {
    std::printf("%s %s\n", what, detail.toUtf8().constData());
    std::fflush(stdout);
}

QPushButton* button(const QString& label, QWidget* parent) {
    auto* pushButton = new QPushButton(label, parent);
    QObject::connect(pushButton, &QPushButton::clicked, pushButton,
                     [label] { report("pressed", label); });
    return pushButton;
}

} // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    int rows = 20;
    const QStringList arguments = QApplication::arguments();
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--rows"));
        at >= 0 && at + 1 < arguments.size()) {
        rows = arguments.at(at + 1).toInt();
    }
    QMainWindow window;
    window.setWindowTitle(QStringLiteral("Velto Form Qt"));
    window.resize(480, 400);
    QMenu* file = window.menuBar()->addMenu(QStringLiteral("File"));
    QObject::connect(file->addAction(QStringLiteral("Say Hello")), &QAction::triggered, &window,
                     [] { report("pressed", QStringLiteral("Say Hello")); });

    auto* central = new QWidget(&window);
    auto* layout = new QVBoxLayout(central);
    auto* name = new QLineEdit(central);
    name->setAccessibleName(QStringLiteral("Name"));
    QObject::connect(name, &QLineEdit::textChanged, name,
                     [](const QString& text) { report("text", text); });
    layout->addWidget(name);
    auto* password = new QLineEdit(central);
    password->setAccessibleName(QStringLiteral("Password"));
    password->setEchoMode(QLineEdit::Password);
    password->setText(QStringLiteral("hunter2-secret"));
    layout->addWidget(password);
    layout->addWidget(button(QStringLiteral("Save"), central));
    layout->addWidget(button(QStringLiteral("Clear"), central));
    // Flat and unthemed, so that its pixels are exactly the colour the tests look for.
    QPushButton* block = button(QStringLiteral("Block"), central);
    block->setText(QString());
    block->setAccessibleName(QStringLiteral("Block"));
    block->setStyleSheet(QStringLiteral("background: #ff0000; border: none;"));
    block->setFixedSize(96, 48);
    layout->addWidget(block);

    auto* scroll = new QScrollArea(central);
    auto* list = new QWidget(scroll);
    auto* listLayout = new QVBoxLayout(list);
    for (int i = 0; i < rows; ++i) {
        listLayout->addWidget(button(QStringLiteral("Row %1").arg(i), list));
    }
    scroll->setWidget(list);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QObject::connect(scroll->verticalScrollBar(), &QScrollBar::valueChanged, scroll,
                     [] { report("pressed", QStringLiteral("scrolled")); });
    layout->addWidget(scroll, 1);
    window.setCentralWidget(central);
    window.show();
    report("ready", QStringLiteral("qt"));
    return QApplication::exec();
}
