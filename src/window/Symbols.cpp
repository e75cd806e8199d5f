#include "window/Symbols.h"

#include <QFile>

#include <array>

// The bundled drawings live in a static library: their registration must be pulled in by name.
static void initSymbolResources() {
    Q_INIT_RESOURCE(symbols);
}

namespace corvane {

namespace {

constexpr std::array<Symbols::Entry, 20> entries{{
    {"desktopcomputer", "computer"},
    {"square.stack.3d.up", "system-run"},
    {"clock.arrow.circlepath", "document-open-recent"},
    {"link", "insert-link"},
    {"arrow.clockwise", "view-refresh"},
    {"backward.end.fill", "media-skip-backward"},
    {"playpause.fill", "media-playback-start"},
    {"forward.end.fill", "media-skip-forward"},
    {"arrow.up.right", "go-jump"},
    {"doc.on.doc", "edit-copy"},
    {"chevron.right", "go-next"},
    {"chevron.down", "go-down"},
    {"square.and.arrow.up", "document-send"},
    {"plus", "list-add"},
    {"play.fill", "media-playback-start"},
    {"folder", "folder"},
    {"envelope", "mail-send"},
    {"speaker.slash.fill", "audio-volume-muted"},
    {"speaker.wave.2.fill", "audio-volume-high"},
    {"gearshape", "system-run"},
}};

} // namespace

std::span<const Symbols::Entry> Symbols::table() {
    return entries;
}

std::string_view Symbols::themeName(std::string_view symbol) {
    for (const Entry& entry : entries) {
        if (entry.symbol == symbol) {
            return entry.themeName;
        }
    }
    return {};
}

QString Symbols::fallbackPath(std::string_view themeName) {
    return QStringLiteral(":/symbols/") +
           QString::fromUtf8(themeName.data(), static_cast<qsizetype>(themeName.size())) +
           QStringLiteral(".svg");
}

QIcon Symbols::icon(std::string_view symbol) {
    static const bool registered = [] {
        initSymbolResources();
        return true;
    }();
    (void)registered;
    const std::string_view name = themeName(symbol);
    if (name.empty()) {
        return {};
    }
    return QIcon::fromTheme(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())),
                            QIcon(fallbackPath(name)));
}

} // namespace corvane
