#include "linuxdesktop/XTestInput.h"

#include "linuxdesktop/X11Connection.h"

#include <QString>
#include <xcb/xtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

namespace corvane {

namespace {

enum Atom : std::size_t { ActiveWindow, WmPid, AtomCount };

const std::vector<std::string>& atomNames() {
    static const std::vector<std::string> names{"_NET_ACTIVE_WINDOW", "_NET_WM_PID"};
    return names;
}

constexpr std::uint32_t returnKeysym = 0xff0d;
constexpr std::uint32_t tabKeysym = 0xff09;
constexpr std::uint32_t unicodeKeysymBase = 0x1000000;
// Programs read a changed keyboard mapping when its notice reaches them, after the keys sent
// before it: a spare key code is mapped anew (or restored) only once they had this long to read the
// keys typed on it.
constexpr std::chrono::milliseconds mappingSettle{100};
// Spare key codes used at once; a text with more distinct missing characters is typed in rounds.
constexpr std::size_t spareLimit = 10;

enum class Reachable : int { Unknown, Yes, No };

using Step = XTestInput::Step;
using Kind = Step::Kind;

bool isKey(const Step& step) {
    return step.kind == Kind::KeyDown || step.kind == Kind::KeyUp || step.kind == Kind::Type;
}

std::optional<std::int16_t> coordinate(double value) {
    if (!std::isfinite(value) || value < -32768.0 || value > 32767.0) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(std::lround(std::floor(value)));
}

} // namespace

struct XTestInput::Worker {
    explicit Worker(std::string display)
        : x(std::move(display), atomNames()) {}

    X11Connection x;
    std::atomic<Reachable> reachable{Reachable::Unknown};
    bool xtest = false;
    // The keyboard mapping as the last job read it.
    xcb_keycode_t minCode = 0;
    int perCode = 0;
    std::vector<xcb_keysym_t> mapping;

    // Where a key or character is on the keyboard: its key code and whether Shift selects it.
    struct Place {
        xcb_keycode_t code = 0;
        bool shifted = false;
    };

    bool begin() {
        if (!x.begin()) {
            reachable = Reachable::No;
            return false;
        }
        if (x.fresh()) {
            static constexpr std::string_view name = "XTEST";
            const auto extension = x.reply<xcb_query_extension_reply_t>(
                xcb_query_extension(x.xcb(), name.size(), name.data()).sequence);
            xtest = extension && extension->present != 0;
        }
        reachable = xtest ? Reachable::Yes : Reachable::No;
        return xtest;
    }

    bool readMapping() {
        const xcb_setup_t* setup = x.setup();
        minCode = setup->min_keycode;
        const int count = setup->max_keycode - setup->min_keycode + 1;
        const auto answer = x.reply<xcb_get_keyboard_mapping_reply_t>(
            xcb_get_keyboard_mapping(x.xcb(), minCode, static_cast<std::uint8_t>(count)).sequence);
        if (!answer || answer->keysyms_per_keycode == 0) {
            return false;
        }
        perCode = answer->keysyms_per_keycode;
        const int length = xcb_get_keyboard_mapping_keysyms_length(answer.get());
        if (length != count * perCode) {
            return false;
        }
        const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(answer.get());
        mapping.assign(keysyms, keysyms + length);
        return true;
    }

    int codeCount() const { return perCode > 0 ? static_cast<int>(mapping.size()) / perCode : 0; }
    xcb_keysym_t at(int index, int column) const {
        return mapping[static_cast<std::size_t>(index * perCode + column)];
    }

    // The unshifted place of a keysym first, else its shifted one (when `shiftAllowed`). Other
    // levels need more than Shift (another group, AltGr): such keysyms go on a spare key code.
    std::optional<Place> placeOf(std::uint32_t keysym, bool shiftAllowed) const {
        std::optional<Place> shifted;
        for (int index = 0; index < codeCount(); ++index) {
            const auto code = static_cast<xcb_keycode_t>(minCode + index);
            if (at(index, 0) == keysym) {
                return Place{code, false};
            }
            if (shiftAllowed && perCode > 1 && at(index, 1) == keysym && !shifted) {
                shifted = Place{code, true};
            }
        }
        return shifted;
    }

    std::vector<xcb_keycode_t> spareCodes() const {
        std::vector<xcb_keycode_t> spare;
        for (int index = codeCount() - 1; index >= 0 && spare.size() < spareLimit; --index) {
            bool empty = true;
            for (int column = 0; column < perCode; ++column) {
                empty = empty && at(index, column) == 0;
            }
            if (empty) {
                spare.push_back(static_cast<xcb_keycode_t>(minCode + index));
            }
        }
        return spare;
    }

    // False only when the active window states another owner.
    bool activeBelongsTo(std::int32_t pid) {
        const auto active = x.reply<xcb_get_property_reply_t>(
            x.property(x.root(), x.atom(ActiveWindow), 1).sequence);
        const std::vector<std::uint32_t> window = X11Connection::cardinals(active.get());
        if (window.empty() || window.front() == XCB_WINDOW_NONE) {
            return x.connected();
        }
        const auto owner = x.reply<xcb_get_property_reply_t>(
            x.property(window.front(), x.atom(WmPid), 1).sequence);
        const std::vector<std::uint32_t> owners = X11Connection::cardinals(owner.get());
        return x.connected() &&
               (owners.empty() || owners.front() == static_cast<std::uint32_t>(pid));
    }

    void fake(std::uint8_t type, std::uint8_t detail, std::int16_t left = 0, std::int16_t top = 0) {
        xcb_test_fake_input(x.xcb(), type, detail, XCB_CURRENT_TIME, x.root(), left, top, 0);
    }

    void remap(xcb_keycode_t code, std::uint32_t keysym) {
        // Every level the same keysym: Shift or Caps Lock held meanwhile changes nothing.
        const std::vector<xcb_keysym_t> levels(static_cast<std::size_t>(perCode), keysym);
        xcb_change_keyboard_mapping(x.xcb(), 1, code, static_cast<std::uint8_t>(perCode),
                                    levels.data());
    }

    void settle() {
        x.sync();
        std::this_thread::sleep_for(mappingSettle);
    }

    void run(const std::vector<Step>& steps, std::int32_t pid) {
        if (!begin() || !readMapping()) {
            return;
        }
        const bool keys = std::any_of(steps.begin(), steps.end(), isKey);
        if (keys && pid > 0 && !activeBelongsTo(pid)) {
            return;
        }
        // Every key is placed before anything is posted: a job that cannot be typed whole posts
        // nothing.
        const std::optional<Place> shift = placeOf(XTestInput::shiftKeysym, false);
        const std::vector<xcb_keycode_t> spare = spareCodes();
        std::vector<std::optional<Place>> places(steps.size());
        for (std::size_t i = 0; i < steps.size(); ++i) {
            if (isKey(steps[i])) {
                places[i] = placeOf(steps[i].value, steps[i].kind == Kind::Type);
                const bool needsShift = places[i] && places[i]->shifted;
                if ((!places[i] && spare.empty()) || (needsShift && !shift)) {
                    return;
                }
            }
        }
        std::vector<std::pair<xcb_keycode_t, std::uint32_t>> slots;
        std::size_t used = 0;
        const auto spareFor = [&](std::uint32_t keysym) {
            for (const auto& [code, mapped] : slots) {
                if (mapped == keysym) {
                    return code;
                }
            }
            if (slots.size() == spare.size()) {
                // Every spare code is taken: the keys typed on them must be read first.
                settle();
                slots.clear();
            }
            const xcb_keycode_t code = spare[slots.size()];
            slots.emplace_back(code, keysym);
            used = std::max(used, slots.size());
            remap(code, keysym);
            return code;
        };
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& step = steps[i];
            switch (step.kind) {
            case Kind::Motion:
                fake(XCB_MOTION_NOTIFY, 0, step.x, step.y);
                break;
            case Kind::ButtonDown:
                fake(XCB_BUTTON_PRESS, static_cast<std::uint8_t>(step.value));
                break;
            case Kind::ButtonUp:
                fake(XCB_BUTTON_RELEASE, static_cast<std::uint8_t>(step.value));
                break;
            case Kind::KeyDown:
            case Kind::KeyUp:
            case Kind::Type: {
                const Place place = places[i] ? *places[i] : Place{spareFor(step.value), false};
                if (place.shifted) {
                    fake(XCB_KEY_PRESS, shift->code);
                }
                if (step.kind != Kind::KeyUp) {
                    fake(XCB_KEY_PRESS, place.code);
                }
                if (step.kind != Kind::KeyDown) {
                    fake(XCB_KEY_RELEASE, place.code);
                }
                if (place.shifted) {
                    fake(XCB_KEY_RELEASE, shift->code);
                }
                break;
            }
            }
        }
        if (used > 0) {
            settle();
            for (std::size_t i = 0; i < used; ++i) {
                remap(spare[i], 0);
            }
        }
        x.sync();
    }
};

XTestInput::XTestInput(std::string display)
    : worker_(std::make_shared<Worker>(std::move(display))) {
    pool_.setMaxThreadCount(1);
    // Connects early, so that a desktop without X is known before the first event.
    post({}, 0);
}

XTestInput::~XTestInput() {
    pool_.clear();
    pool_.waitForDone();
}

void XTestInput::waitForPosted() {
    pool_.waitForDone();
}

bool XTestInput::post(std::vector<Step> steps, std::int32_t pid) {
    const bool refused = worker_->reachable.load() == Reachable::No;
    // Even when refused, a job asks again (at most every two seconds) whether X came back.
    pool_.start([worker = worker_, steps = std::move(steps), pid] { worker->run(steps, pid); });
    return !refused;
}

std::optional<std::vector<std::uint32_t>> XTestInput::textKeysyms(const std::string& text) {
    const QString decoded = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    // Invalid UTF-8 decodes to replacement characters and does not encode back the same.
    if (decoded.toUtf8() !=
        QByteArray::fromRawData(text.data(), static_cast<qsizetype>(text.size()))) {
        return std::nullopt;
    }
    const QList<uint> characters = decoded.toUcs4();
    if (static_cast<std::size_t>(characters.size()) > textLimit) {
        return std::nullopt;
    }
    std::vector<std::uint32_t> keysyms;
    keysyms.reserve(static_cast<std::size_t>(characters.size()));
    for (qsizetype i = 0; i < characters.size(); ++i) {
        const uint c = characters[i];
        if (c == '\r') {
            // A Windows line end is one line break.
            if (i + 1 < characters.size() && characters[i + 1] == '\n') {
                continue;
            }
            keysyms.push_back(returnKeysym);
        } else if (c == '\n') {
            keysyms.push_back(returnKeysym);
        } else if (c == '\t') {
            keysyms.push_back(tabKeysym);
        } else if (c < 0x20 || (c >= 0x7f && c < 0xa0)) {
            return std::nullopt;
        } else if (c < 0x100) {
            // Latin-1 keysyms are the characters themselves.
            keysyms.push_back(c);
        } else {
            keysyms.push_back(unicodeKeysymBase + c);
        }
    }
    return keysyms;
}

int XTestInput::wheelClicks(std::int32_t pixels) {
    const double clicks = std::round(std::abs(double(pixels)) / pixelsPerWheelClick);
    return static_cast<int>(std::clamp(clicks, 1.0, double(wheelLimit)));
}

bool XTestInput::pressKey(Key key, Modifiers modifiers, std::int32_t pid) {
    const auto row = std::find_if(keysyms.begin(), keysyms.end(),
                                  [key](const KeySym& entry) { return entry.key == key; });
    if (row == keysyms.end()) {
        return false;
    }
    // Command is the shortcut key, which is Control here.
    std::vector<std::uint32_t> held;
    if (modifiers.command || modifiers.control) {
        held.push_back(controlKeysym);
    }
    if (modifiers.option) {
        held.push_back(altKeysym);
    }
    if (modifiers.shift) {
        held.push_back(shiftKeysym);
    }
    std::vector<Step> steps;
    for (const std::uint32_t modifier : held) {
        steps.push_back({Kind::KeyDown, modifier});
    }
    steps.push_back({Kind::KeyDown, row->keysym});
    steps.push_back({Kind::KeyUp, row->keysym});
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        steps.push_back({Kind::KeyUp, *it});
    }
    return post(std::move(steps), pid);
}

bool XTestInput::typeText(const std::string& text, std::int32_t pid) {
    const std::optional<std::vector<std::uint32_t>> characters = textKeysyms(text);
    if (!characters) {
        return false;
    }
    std::vector<Step> steps;
    steps.reserve(characters->size());
    for (const std::uint32_t keysym : *characters) {
        steps.push_back({Kind::Type, keysym});
    }
    return post(std::move(steps), pid);
}

bool XTestInput::click(double x, double y, MouseButton button, int clickCount) {
    const std::optional<std::int16_t> left = coordinate(x);
    const std::optional<std::int16_t> top = coordinate(y);
    if (!left || !top || clickCount < 1 || clickCount > 3) {
        return false;
    }
    const std::uint32_t number = button == MouseButton::Right ? 3 : 1;
    std::vector<Step> steps{{Kind::Motion, 0, *left, *top}};
    for (int i = 0; i < clickCount; ++i) {
        steps.push_back({Kind::ButtonDown, number});
        steps.push_back({Kind::ButtonUp, number});
    }
    return post(std::move(steps), 0);
}

bool XTestInput::scroll(double x, double y, std::int32_t pixels) {
    const std::optional<std::int16_t> left = coordinate(x);
    const std::optional<std::int16_t> top = coordinate(y);
    if (!left || !top) {
        return false;
    }
    std::vector<Step> steps{{Kind::Motion, 0, *left, *top}};
    if (pixels != 0) {
        const std::uint32_t wheel = pixels > 0 ? 4 : 5;
        for (int i = 0; i < wheelClicks(pixels); ++i) {
            steps.push_back({Kind::ButtonDown, wheel});
            steps.push_back({Kind::ButtonUp, wheel});
        }
    }
    return post(std::move(steps), 0);
}

} // namespace corvane
