// A window for the capture and input tests: filled with the colour given on the command line (its
// top-left quarter red, so that an image turned or shifted shows), placed where asked, and writing
// every key, text, click and wheel turn it receives to standard output, one line each.
//   X11EventWindow --place X,Y,W,H --colour RRGGBB
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QRasterWindow>

#include <cstdio>

namespace {

class EventWindow final : public QRasterWindow {
public:
    explicit EventWindow(QColor colour)
        : colour_(colour) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.fillRect(QRect(QPoint(0, 0), size()), colour_);
        painter.fillRect(QRect(0, 0, width() / 2, height() / 2), QColor(220, 20, 20));
    }
    void keyPressEvent(QKeyEvent* event) override {
        // Modifiers show in the keys they hold.
        if (event->key() == Qt::Key_Shift || event->key() == Qt::Key_Control ||
            event->key() == Qt::Key_Alt || event->key() == Qt::Key_Meta) {
            return;
        }
        const bool control = event->modifiers().testFlag(Qt::ControlModifier);
        if (!control && !event->text().isEmpty() && event->text().at(0).isPrint()) {
            write("text " + event->text().toUtf8());
        } else {
            write("key " + QByteArray::number(event->key(), 16) + (control ? " control" : ""));
        }
    }
    void mousePressEvent(QMouseEvent* event) override {
        const QPoint at = event->globalPosition().toPoint();
        write("press " + QByteArray(event->button() == Qt::RightButton ? "right" : "left") + ' ' +
              QByteArray::number(at.x()) + ' ' + QByteArray::number(at.y()));
    }
    void mouseDoubleClickEvent(QMouseEvent*) override { write("double"); }
    void wheelEvent(QWheelEvent* event) override {
        write(event->angleDelta().y() > 0 ? "wheel up" : "wheel down");
    }

private:
    static void write(const QByteArray& line) {
        std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    QColor colour_;
};

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    QRect geometry(100, 100, 300, 200);
    QColor colour(0, 160, 80);
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments[i] == QStringLiteral("--place")) {
            const QStringList parts = arguments[i + 1].split(u',');
            if (parts.size() == 4) {
                geometry =
                    QRect(parts[0].toInt(), parts[1].toInt(), parts[2].toInt(), parts[3].toInt());
            }
        } else if (arguments[i] == QStringLiteral("--colour")) {
            colour = QColor(u'#' + arguments[i + 1]);
        }
    }
    EventWindow window(colour);
    window.setTitle(QStringLiteral("Event window ") + colour.name());
    window.setGeometry(geometry);
    window.show();
    return app.exec();
}
