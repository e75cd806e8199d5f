#include "linuxdesktop/XCompositeScreenCapture.h"

#include "linuxdesktop/X11Connection.h"

#include <QFutureWatcher>
#include <QPromise>
#include <qcoro/qcorosignal.h>
#include <xcb/composite.h>

#include <array>
#include <cstring>
#include <numeric>
#include <thread>
#include <unordered_set>

namespace corvane {

namespace {

enum Atom : std::size_t {
    ClientList,
    WmPid,
    NetWmName,
    WindowType,
    TypeDesktop,
    TypeDock,
    TypeNotification,
    WmState,
    StateHidden,
    AtomCount,
};

const std::vector<std::string>& atomNames() {
    static const std::vector<std::string> names{"_NET_CLIENT_LIST",
                                                "_NET_WM_PID",
                                                "_NET_WM_NAME",
                                                "_NET_WM_WINDOW_TYPE",
                                                "_NET_WM_WINDOW_TYPE_DESKTOP",
                                                "_NET_WM_WINDOW_TYPE_DOCK",
                                                "_NET_WM_WINDOW_TYPE_NOTIFICATION",
                                                "_NET_WM_STATE",
                                                "_NET_WM_STATE_HIDDEN"};
    return names;
}

constexpr std::uint32_t windowLimit = 4096;
constexpr std::uint32_t titleWords = 256;
// A window that was not kept off-screen before shows its covered parts once its program has
// repainted them: the first capture of each frame waits this long.
constexpr std::chrono::milliseconds repaintTime{200};
// Frames remembered as redirected before the set starts over (ids of gone windows pile up).
constexpr std::size_t redirectedLimit = 4096;
// How far up a window's ancestors its top-level frame may be.
constexpr int ancestorLimit = 32;

using Windows = std::vector<ScreenCapture::Window>;
using WindowsOrError = std::variant<Windows, ScreenCapture::Error>;

} // namespace

struct XCompositeScreenCapture::Worker {
    explicit Worker(std::string display)
        : x(std::move(display), atomNames()) {}

    X11Connection x;
    bool composite = false;
    std::unordered_set<xcb_window_t> redirected;
    // The frames the last list gave: asked for one of these, the capture is of the whole frame.
    std::unordered_set<xcb_window_t> frames;

    bool begin() {
        if (!x.begin()) {
            return false;
        }
        if (x.fresh()) {
            redirected.clear();
            frames.clear();
            composite = compositePresent();
        }
        return true;
    }

    bool compositePresent() {
        static constexpr std::string_view name = "Composite";
        const auto extension = x.reply<xcb_query_extension_reply_t>(
            xcb_query_extension(x.xcb(), name.size(), name.data()).sequence);
        if (!extension || extension->present == 0) {
            return false;
        }
        // NameWindowPixmap needs version 0.2 announced.
        return x.reply<xcb_composite_query_version_reply_t>(
                   xcb_composite_query_version(x.xcb(), 0, 4).sequence) != nullptr;
    }

    WindowsOrError windows() {
        if (!begin()) {
            return ScreenCapture::Error{displayUnavailable};
        }
        const auto list = x.reply<xcb_get_property_reply_t>(
            x.property(x.root(), x.atom(ClientList), windowLimit).sequence);
        if (!x.connected()) {
            return ScreenCapture::Error{displayUnavailable};
        }
        const std::vector<std::uint32_t> ids = X11Connection::cardinals(list.get());
        struct Pending {
            xcb_get_property_cookie_t pid, netName, name, type, state;
            xcb_get_window_attributes_cookie_t attributes;
            xcb_get_geometry_cookie_t geometry;
            xcb_translate_coordinates_cookie_t origin;
        };
        // Every window's questions in one batch: one wait for the whole list.
        std::vector<Pending> pending;
        pending.reserve(ids.size());
        for (const std::uint32_t id : ids) {
            pending.push_back(
                {x.property(id, x.atom(WmPid), 1), x.property(id, x.atom(NetWmName), titleWords),
                 x.property(id, XCB_ATOM_WM_NAME, titleWords),
                 x.property(id, x.atom(WindowType), 16), x.property(id, x.atom(WmState), 16),
                 xcb_get_window_attributes(x.xcb(), id), xcb_get_geometry(x.xcb(), id),
                 xcb_translate_coordinates(x.xcb(), id, x.root(), 0, 0)});
        }
        Windows windows;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            const Pending& p = pending[i];
            // Replies are taken in order, even of windows already left out.
            const auto pid = x.reply<xcb_get_property_reply_t>(p.pid.sequence);
            const auto netName = x.reply<xcb_get_property_reply_t>(p.netName.sequence);
            const auto name = x.reply<xcb_get_property_reply_t>(p.name.sequence);
            const auto type = x.reply<xcb_get_property_reply_t>(p.type.sequence);
            const auto state = x.reply<xcb_get_property_reply_t>(p.state.sequence);
            const auto attributes =
                x.reply<xcb_get_window_attributes_reply_t>(p.attributes.sequence);
            const auto geometry = x.reply<xcb_get_geometry_reply_t>(p.geometry.sequence);
            const auto origin = x.reply<xcb_translate_coordinates_reply_t>(p.origin.sequence);
            if (!x.connected()) {
                return ScreenCapture::Error{displayUnavailable};
            }
            // A window gone since the list was read answers with errors: left out.
            if (!attributes || !geometry || !origin ||
                attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
                continue;
            }
            const std::vector<std::uint32_t> states = X11Connection::cardinals(state.get());
            if (std::find(states.begin(), states.end(), x.atom(StateHidden)) != states.end()) {
                continue;
            }
            Window window;
            window.id = ids[i];
            bool desktop = false;
            for (const std::uint32_t kind : X11Connection::cardinals(type.get())) {
                desktop = desktop || kind == x.atom(TypeDesktop);
                if (kind == x.atom(TypeDock) || kind == x.atom(TypeNotification)) {
                    window.layer = aboveLayer;
                }
            }
            if (desktop) {
                continue;
            }
            const std::vector<std::uint32_t> pids = X11Connection::cardinals(pid.get());
            if (!pids.empty() && pids.front() > 0 && pids.front() <= 0x7fffffff) {
                window.ownerPid = static_cast<std::int32_t>(pids.front());
            }
            window.bounds = QRectF(origin->dst_x, origin->dst_y, geometry->width, geometry->height);
            window.title = X11Connection::text(netName.get(), true);
            if (!window.title) {
                window.title = X11Connection::text(name.get(), false);
            }
            windows.push_back(std::move(window));
        }
        if (!addFrames(windows)) {
            return ScreenCapture::Error{displayUnavailable};
        }
        return windows;
    }

    // The top-level ancestor of each window: the window manager's frame, or the window itself
    // where nothing reparented it; XCB_WINDOW_NONE where the tree could not be read. Asked a level
    // at a time for all windows together: one wait per level.
    std::vector<xcb_window_t> topLevels(const std::vector<xcb_window_t>& windows) {
        std::vector<xcb_window_t> current = windows;
        std::vector<xcb_window_t> tops(windows.size(), XCB_WINDOW_NONE);
        std::vector<std::size_t> open(windows.size());
        std::iota(open.begin(), open.end(), std::size_t{0});
        for (int level = 0; level < ancestorLimit && !open.empty(); ++level) {
            std::vector<xcb_query_tree_cookie_t> cookies;
            cookies.reserve(open.size());
            for (const std::size_t i : open) {
                cookies.push_back(xcb_query_tree(x.xcb(), current[i]));
            }
            std::vector<std::size_t> next;
            for (std::size_t k = 0; k < open.size(); ++k) {
                const std::size_t i = open[k];
                const auto tree = x.reply<xcb_query_tree_reply_t>(cookies[k].sequence);
                if (!tree || tree->parent == XCB_WINDOW_NONE) {
                    continue;
                }
                if (tree->parent == tree->root) {
                    tops[i] = current[i];
                } else {
                    current[i] = tree->parent;
                    next.push_back(i);
                }
            }
            open = std::move(next);
        }
        return tops;
    }

    // Each window's decorated frame, where a window manager put it in one. False when the server
    // went away meanwhile.
    bool addFrames(std::vector<Window>& windows) {
        std::vector<xcb_window_t> ids;
        ids.reserve(windows.size());
        for (const Window& window : windows) {
            ids.push_back(window.id);
        }
        const std::vector<xcb_window_t> tops = topLevels(ids);
        // A window inside another listed one (embedded) has no frame of its own: its ancestor is
        // a window, captured as such.
        const std::unordered_set<xcb_window_t> listed(ids.begin(), ids.end());
        std::vector<bool> framed(windows.size());
        std::vector<xcb_get_geometry_cookie_t> cookies(windows.size());
        for (std::size_t i = 0; i < windows.size(); ++i) {
            framed[i] = tops[i] != XCB_WINDOW_NONE && !listed.contains(tops[i]);
            if (framed[i]) {
                cookies[i] = xcb_get_geometry(x.xcb(), tops[i]);
            }
        }
        frames.clear();
        for (std::size_t i = 0; i < windows.size(); ++i) {
            if (!framed[i]) {
                continue;
            }
            const auto geometry = x.reply<xcb_get_geometry_reply_t>(cookies[i].sequence);
            if (!geometry) {
                continue;
            }
            // A top-level window's position is that of its border's outer corner on the root; the
            // frame's border is part of the decoration.
            const int border = 2 * geometry->border_width;
            windows[i].frame =
                Frame{tops[i], QRectF(geometry->x, geometry->y, geometry->width + border,
                                      geometry->height + border)};
            frames.insert(tops[i]);
        }
        return x.connected();
    }

    // The window's top-level ancestor (the window manager's frame, or the window itself).
    std::optional<xcb_window_t> frameOf(xcb_window_t window) {
        const xcb_window_t top = topLevels({window}).front();
        if (top == XCB_WINDOW_NONE) {
            return std::nullopt;
        }
        return top;
    }

    bool keepOffScreen(xcb_window_t frame) {
        if (redirected.contains(frame)) {
            return true;
        }
        if (!x.succeeded(xcb_composite_redirect_window_checked(x.xcb(), frame,
                                                               XCB_COMPOSITE_REDIRECT_AUTOMATIC))) {
            return false;
        }
        if (redirected.size() >= redirectedLimit) {
            redirected.clear();
        }
        redirected.insert(frame);
        std::this_thread::sleep_for(repaintTime);
        return true;
    }

    // The frame's off-screen pixmap, named for this capture.
    std::optional<xcb_pixmap_t> pixmapOf(xcb_window_t frame) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            const bool remembered = redirected.contains(frame);
            if (!keepOffScreen(frame)) {
                return std::nullopt;
            }
            const xcb_pixmap_t pixmap = xcb_generate_id(x.xcb());
            if (x.succeeded(xcb_composite_name_window_pixmap_checked(x.xcb(), frame, pixmap))) {
                return pixmap;
            }
            // A remembered frame may be a new window that took a gone one's id: redirected anew.
            if (!remembered) {
                return std::nullopt;
            }
            redirected.erase(frame);
        }
        return std::nullopt;
    }

    std::optional<PixelFormat> formatOf(int depth) const {
        const xcb_setup_t* setup = x.setup();
        for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
            if (it.data->depth == depth) {
                return PixelFormat{depth, it.data->bits_per_pixel, it.data->scanline_pad,
                                   setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST};
            }
        }
        return std::nullopt;
    }

    std::optional<QImage> capture(xcb_window_t window, int width, int height) {
        if (width <= 0 || height <= 0 || width > sideLimit || height > sideLimit || !begin() ||
            !composite) {
            return std::nullopt;
        }
        const std::optional<xcb_window_t> frame = frameOf(window);
        // A frame the list gave is captured whole, as long as it still is one.
        const bool wholeFrame = frames.contains(window);
        if (!frame || (wholeFrame && *frame != window)) {
            return std::nullopt;
        }
        const auto attributes = x.reply<xcb_get_window_attributes_reply_t>(
            xcb_get_window_attributes(x.xcb(), window).sequence);
        const auto geometry =
            x.reply<xcb_get_geometry_reply_t>(xcb_get_geometry(x.xcb(), window).sequence);
        const auto frameGeometry =
            x.reply<xcb_get_geometry_reply_t>(xcb_get_geometry(x.xcb(), *frame).sequence);
        const auto origin = x.reply<xcb_translate_coordinates_reply_t>(
            xcb_translate_coordinates(x.xcb(), window, *frame, 0, 0).sequence);
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE || !geometry ||
            !frameGeometry || !origin) {
            return std::nullopt;
        }
        // The frame's pixmap starts at the outer edge of its border: a window inside it is that
        // border further in, a whole frame includes it.
        const int frameBorder = frameGeometry->border_width;
        const int left = wholeFrame ? 0 : origin->dst_x + frameBorder;
        const int top = wholeFrame ? 0 : origin->dst_y + frameBorder;
        const int areaWidth = wholeFrame ? geometry->width + 2 * frameBorder : geometry->width;
        const int areaHeight = wholeFrame ? geometry->height + 2 * frameBorder : geometry->height;
        if (areaWidth <= 0 || areaHeight <= 0 || areaWidth > sideLimit || areaHeight > sideLimit) {
            return std::nullopt;
        }
        const std::optional<xcb_pixmap_t> pixmap = pixmapOf(*frame);
        if (!pixmap) {
            return std::nullopt;
        }
        const auto image = x.reply<xcb_get_image_reply_t>(
            xcb_get_image(x.xcb(), XCB_IMAGE_FORMAT_Z_PIXMAP, *pixmap,
                          static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
                          static_cast<std::uint16_t>(areaWidth),
                          static_cast<std::uint16_t>(areaHeight), ~std::uint32_t{0})
                .sequence);
        xcb_free_pixmap(x.xcb(), *pixmap);
        if (!image) {
            return std::nullopt;
        }
        const std::optional<PixelFormat> format = formatOf(image->depth);
        if (!format) {
            return std::nullopt;
        }
        const int length = xcb_get_image_data_length(image.get());
        std::optional<QImage> picture = imageFromZPixmap(
            xcb_get_image_data(image.get()), static_cast<std::size_t>(std::max(length, 0)),
            areaWidth, areaHeight, *format);
        if (picture && picture->size() != QSize(width, height)) {
            picture =
                picture->scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        }
        return picture;
    }
};

XCompositeScreenCapture::XCompositeScreenCapture(std::string display)
    : worker_(std::make_shared<Worker>(std::move(display))) {
    pool_.setMaxThreadCount(1);
}

XCompositeScreenCapture::~XCompositeScreenCapture() {
    pool_.clear();
    pool_.waitForDone();
}

template <typename T>
QCoro::Task<std::optional<T>> XCompositeScreenCapture::ask(std::function<T()> work) {
    auto promise = std::make_shared<QPromise<T>>();
    const QFuture<T> future = promise->future();
    promise->start();
    // A job dropped unstarted takes the promise along, which finishes the future empty.
    pool_.start([promise, work = std::move(work)] {
        promise->addResult(work());
        promise->finish();
    });
    // Touches nothing of this object from here: it may be gone when the wait ends.
    QFutureWatcher<T> watcher;
    watcher.setFuture(future);
    if (!future.isFinished()) {
        co_await qCoro(&watcher, &QFutureWatcherBase::finished, answerLimit);
    }
    if (!future.isFinished() || future.resultCount() == 0) {
        co_return std::nullopt;
    }
    co_return future.result();
}

std::optional<QImage> XCompositeScreenCapture::imageFromZPixmap(const std::uint8_t* data,
                                                                std::size_t length, int width,
                                                                int height, PixelFormat format) {
    if (data == nullptr || width <= 0 || height <= 0 || width > sideLimit || height > sideLimit ||
        format.bitsPerPixel != 32 || (format.depth != 24 && format.depth != 32) ||
        format.scanlinePad <= 0 || format.scanlinePad % 8 != 0) {
        return std::nullopt;
    }
    const std::size_t padBytes = static_cast<std::size_t>(format.scanlinePad) / 8;
    const std::size_t rowBytes =
        (static_cast<std::size_t>(width) * 4 + padBytes - 1) / padBytes * padBytes;
    if (length / rowBytes < static_cast<std::size_t>(height)) {
        return std::nullopt;
    }
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull()) {
        return std::nullopt;
    }
    for (int row = 0; row < height; ++row) {
        const std::uint8_t* in = data + static_cast<std::size_t>(row) * rowBytes;
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(row));
        for (int column = 0; column < width; ++column, in += 4) {
            const std::uint32_t pixel =
                format.lsbFirst ? std::uint32_t(in[0]) | std::uint32_t(in[1]) << 8 |
                                      std::uint32_t(in[2]) << 16 | std::uint32_t(in[3]) << 24
                                : std::uint32_t(in[3]) | std::uint32_t(in[2]) << 8 |
                                      std::uint32_t(in[1]) << 16 | std::uint32_t(in[0]) << 24;
            // The image shows the window as seen: whatever alpha a 32-bit window has is dropped.
            out[column] = 0xff000000u | (pixel & 0x00ffffffu);
        }
    }
    return image;
}

QCoro::Task<std::variant<std::vector<ScreenCapture::Window>, ScreenCapture::Error>>
XCompositeScreenCapture::shareableWindows() {
    std::function<WindowsOrError()> job = [worker = worker_] {
        return worker->windows();
    };
    QCoro::Task<std::optional<WindowsOrError>> asked = ask(std::move(job));
    std::optional<WindowsOrError> answer = co_await std::move(asked);
    if (!answer) {
        co_return Error{displayUnavailable};
    }
    co_return std::move(*answer);
}

QCoro::Task<std::optional<QImage>> XCompositeScreenCapture::capture(std::uint32_t windowID,
                                                                    int width, int height) {
    std::function<std::optional<QImage>()> job = [worker = worker_, windowID, width, height] {
        return worker->capture(windowID, width, height);
    };
    QCoro::Task<std::optional<std::optional<QImage>>> asked = ask(std::move(job));
    std::optional<std::optional<QImage>> answer = co_await std::move(asked);
    if (!answer) {
        co_return std::nullopt;
    }
    co_return std::move(*answer);
}

} // namespace corvane
