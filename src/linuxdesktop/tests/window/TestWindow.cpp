// A small windowed program for the desktop tests: one window with the title given on the command
// line. With --keep-open it ignores the window manager's close request, as an application showing
// a save prompt would.
#include <QCloseEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QRasterWindow>

namespace {

class TestWindow final : public QRasterWindow {
public:
    explicit TestWindow(bool keepOpen)
        : keepOpen_(keepOpen) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(QRect(QPoint(0, 0), size()), QColor(40, 90, 160));
    }
    void closeEvent(QCloseEvent* event) override {
        if (keepOpen_) {
            event->ignore();
            return;
        }
        // Ends with its only window, like an application.
        QCoreApplication::quit();
    }

private:
    bool keepOpen_;
};

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const bool keepOpen = arguments.contains(QStringLiteral("--keep-open"));
    QString title = QStringLiteral("Test window");
    for (const QString& argument : arguments.mid(1)) {
        if (!argument.startsWith(u'-')) {
            title = argument;
        }
    }
    TestWindow window(keepOpen);
    window.setTitle(title);
    window.resize(200, 120);
    window.show();
    return app.exec();
}
