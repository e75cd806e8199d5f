#include "sim/SimElementTree.h"

#include "sim/SimApplications.h"
#include "sim/SimTabStrips.h"
#include "sim/SimValueCodec.h"

#include <algorithm>

namespace corvane {

namespace {

std::string stringMember(const JSON& object, std::string_view key) {
    const std::string* s = object.stringMember(key);
    return s != nullptr ? *s : std::string();
}

bool flagMember(const JSON& object, std::string_view key) {
    const JSON* value = object.find(key);
    return value != nullptr && value->isTrue();
}

std::optional<QRectF> frameOf(const SimElementTree::Element& element) {
    auto position = element.attributes.find("AXPosition");
    auto size = element.attributes.find("AXSize");
    if (position == element.attributes.end() || size == element.attributes.end() ||
        !position->second.point() || !size->second.size()) {
        return std::nullopt;
    }
    return QRectF(*position->second.point(), *size->second.size());
}

PlatformValue selectedValue(const PlatformValue::Dictionary& attributes, bool selected) {
    auto current = attributes.find("AXValue");
    if (current != attributes.end() && current->second.kind() == PlatformValue::Kind::Integer) {
        return PlatformValue(std::int64_t{selected ? 1 : 0});
    }
    return PlatformValue(selected);
}

} // namespace

SimElementTree::SimElementTree(const SimApplications& apps)
    : apps_(apps)
    , systemWide_(nextToken_++) {}

std::string SimElementTree::role(const Element& element) {
    auto found = element.attributes.find("AXRole");
    if (found == element.attributes.end() || found->second.string() == nullptr) {
        return {};
    }
    return *found->second.string();
}

bool SimElementTree::editable(const Element& element) {
    const std::string r = role(element);
    return r == "AXTextField" || r == "AXTextArea" || r == "AXComboBox";
}

void SimElementTree::clear() {
    elements_.clear();
    names_.clear();
    timeouts_.clear();
    processes_.clear();
}

void SimElementTree::attach(std::int32_t pid, const JSON* ui) {
    Process& started = processes_[pid];
    started = Process{};
    Element application;
    application.pid = pid;
    application.application = true;
    started.element = nextToken_++;
    elements_.emplace(started.element, std::move(application));
    if (ui == nullptr) {
        return;
    }
    Pending pending;
    started.responsive = ui->find("responsive")->isTrue();
    for (const JSON& window : *ui->find("windows")->array()) {
        started.windows.push_back(create(window, pid, started.element, pending, true));
    }
    if (const JSON* menuBar = ui->find("menu_bar")) {
        started.menuBar = create(*menuBar, pid, started.element, pending, true);
    }
    resolvePending(pending);
    const auto refer = [&](std::string_view key) -> std::uint64_t {
        const std::string* name = ui->stringMember(key);
        return name != nullptr ? resolve(*name, 0).value_or(0) : 0;
    };
    started.focusedWindow = refer("focused_window");
    started.mainWindow = refer("main_window");
    started.focusedElement = refer("focused_element");
}

void SimElementTree::detach(std::int32_t pid) {
    std::erase_if(elements_, [&](const auto& entry) {
        if (entry.second.pid != pid) {
            return false;
        }
        timeouts_.erase(entry.first);
        return true;
    });
    std::erase_if(names_, [&](const auto& entry) { return !elements_.contains(entry.second); });
    processes_.erase(pid);
}

std::uint64_t SimElementTree::insert(const JSON& node, std::int32_t pid, std::uint64_t parent,
                                     bool bind) {
    Pending pending;
    const std::uint64_t made = create(node, pid, parent, pending, bind);
    resolvePending(pending);
    return made;
}

std::uint64_t SimElementTree::create(const JSON& node, std::int32_t pid, std::uint64_t parent,
                                     Pending& pending, bool bind) {
    const std::uint64_t token = nextToken_++;
    Element element;
    element.pid = pid;
    element.parent = parent;
    element.name = stringMember(node, "id");
    element.hidden = flagMember(node, "hidden");
    if (const JSON* settable = node.find("settable")) {
        element.settable = settable->isTrue();
    }
    if (const std::string* color = node.stringMember("color")) {
        element.color = *color;
    }
    if (const std::string* close = node.stringMember("close_button")) {
        element.closeButton = *close;
    }
    static const std::pair<const char*, const char*> textual[] = {{"role", "AXRole"},
                                                                  {"subrole", "AXSubrole"},
                                                                  {"title", "AXTitle"},
                                                                  {"description", "AXDescription"},
                                                                  {"identifier", "AXIdentifier"},
                                                                  {"help", "AXHelp"}};
    for (const auto& [key, attribute] : textual) {
        if (const std::string* value = node.stringMember(key)) {
            element.attributes.emplace(attribute, PlatformValue(*value));
        }
    }
    if (const JSON* value = node.find("value")) {
        element.attributes.emplace("AXValue", SimValueCodec::fromJSON(*value));
    }
    if (const JSON* enabled = node.find("enabled")) {
        element.attributes.emplace("AXEnabled", PlatformValue(enabled->isTrue()));
    }
    if (const JSON* frame = node.find("frame"); frame != nullptr && frame->array() != nullptr) {
        const JSON::Array& f = *frame->array();
        element.attributes.emplace("AXPosition",
                                   PlatformValue(QPointF(*f[0].number(), *f[1].number())));
        element.attributes.emplace("AXSize", PlatformValue(QSizeF(*f[2].number(), *f[3].number())));
    }
    if (role(element) == "AXWindow" && !element.attributes.contains("AXMinimized")) {
        element.attributes.emplace("AXMinimized", PlatformValue(false));
    }
    if (const JSON* attributes = node.find("attributes")) {
        pending.emplace_back(token, *attributes);
    }
    if (const JSON* layer = node.find("layer"); layer != nullptr && layer->number()) {
        element.layer = static_cast<std::int64_t>(*layer->number());
    }
    for (auto [key, reaction] :
         {std::pair("on_read", &element.onRead), std::pair("on_capture", &element.onCapture)}) {
        if (const JSON* effects = node.find(key); effects != nullptr && effects->array()) {
            *reaction = *effects;
        }
    }
    if (const JSON* actions = node.find("actions"); actions != nullptr && actions->array()) {
        for (const JSON& a : *actions->array()) {
            Action action;
            action.name = stringMember(a, "name");
            if (const std::string* d = a.stringMember("description")) {
                action.description = *d;
            }
            action.fails = flagMember(a, "fails");
            action.does = a.find("does") != nullptr ? *a.find("does") : JSON(JSON::Array{});
            element.actions.push_back(std::move(action));
        }
    }
    SimTabStrips::readFields(node, element);
    if (bind && !element.name.empty()) {
        auto bound = names_.find(element.name);
        if (bound == names_.end() || !live(bound->second)) {
            names_[element.name] = token;
        }
    }
    elements_.emplace(token, std::move(element));
    if (const JSON* children = node.find("children"); children != nullptr && children->array()) {
        for (const JSON& child : *children->array()) {
            const std::uint64_t made = create(child, pid, token, pending, bind);
            elements_.at(token).children.push_back(made);
        }
    }
    return token;
}

void SimElementTree::resolvePending(const Pending& pending) {
    for (const auto& [token, attributes] : pending) {
        auto found = elements_.find(token);
        if (found == elements_.end()) {
            continue;
        }
        for (const auto& [key, value] : *attributes.object()) {
            found->second.attributes.insert_or_assign(key, this->value(value));
        }
    }
}

PlatformValue SimElementTree::value(const JSON& json) const {
    return SimValueCodec::fromJSON(json, [this](const std::string& name) {
        std::optional<std::uint64_t> token = resolve(name, 0);
        return token ? std::optional<AXElement>(AXElement(*token)) : std::nullopt;
    });
}

void SimElementTree::remove(std::uint64_t token) {
    auto found = elements_.find(token);
    if (found == elements_.end() || found->second.application) {
        return;
    }
    const std::vector<std::uint64_t> children = found->second.children;
    for (std::uint64_t child : children) {
        remove(child);
    }
    found = elements_.find(token);
    if (auto parent = elements_.find(found->second.parent); parent != elements_.end()) {
        std::erase(parent->second.children, token);
    }
    if (Process* owner = process(found->second.pid)) {
        std::erase(owner->windows, token);
        for (std::uint64_t* pointer :
             {&owner->menuBar, &owner->focusedWindow, &owner->mainWindow, &owner->focusedElement}) {
            if (*pointer == token) {
                *pointer = 0;
            }
        }
        // A closed window hands focus to the next one, as a real window server does.
        if (owner->focusedWindow == 0 && !owner->windows.empty() &&
            role(found->second) == "AXWindow") {
            owner->focusedWindow = owner->windows.front();
            owner->mainWindow = owner->windows.front();
        }
    }
    elements_.erase(token);
    timeouts_.erase(token);
}

const SimElementTree::Element* SimElementTree::element(std::uint64_t token) const {
    auto found = elements_.find(token);
    return found != elements_.end() ? &found->second : nullptr;
}

SimElementTree::Element* SimElementTree::element(std::uint64_t token) {
    auto found = elements_.find(token);
    return found != elements_.end() ? &found->second : nullptr;
}

const SimElementTree::Process* SimElementTree::process(std::int32_t pid) const {
    auto found = processes_.find(pid);
    return found != processes_.end() ? &found->second : nullptr;
}

SimElementTree::Process* SimElementTree::process(std::int32_t pid) {
    auto found = processes_.find(pid);
    return found != processes_.end() ? &found->second : nullptr;
}

bool SimElementTree::readable(std::uint64_t token) const {
    const Element* e = element(token);
    if (e == nullptr) {
        return false;
    }
    const Process* owner = process(e->pid);
    if (owner == nullptr || !owner->responsive) {
        return false;
    }
    for (std::uint64_t at = token; at != 0; at = elements_.at(at).parent) {
        if (elements_.at(at).hidden) {
            return false;
        }
    }
    return true;
}

std::uint64_t SimElementTree::windowOf(std::uint64_t token) const {
    for (std::uint64_t at = token; at != 0;) {
        const Element* e = element(at);
        if (e == nullptr) {
            return 0;
        }
        if (role(*e) == "AXWindow") {
            return at;
        }
        at = e->parent;
    }
    return 0;
}

std::optional<std::uint64_t> SimElementTree::resolve(const std::string& ref,
                                                     std::uint64_t self) const {
    if (ref == "self") {
        return live(self) ? std::optional(self) : std::nullopt;
    }
    if (ref == "parent") {
        const Element* e = element(self);
        return e != nullptr && e->parent != 0 ? std::optional(e->parent) : std::nullopt;
    }
    if (ref == "window") {
        const std::uint64_t window = windowOf(self);
        return window != 0 ? std::optional(window) : std::nullopt;
    }
    return named(ref);
}

std::optional<std::uint64_t> SimElementTree::named(const std::string& name) const {
    auto bound = names_.find(name);
    if (bound == names_.end() || !live(bound->second)) {
        return std::nullopt;
    }
    return bound->second;
}

std::vector<std::uint64_t> SimElementTree::visibleChildren(std::uint64_t token) const {
    const Element& e = elements_.at(token);
    std::vector<std::uint64_t> all = e.children;
    if (e.application) {
        const Process& owner = *process(e.pid);
        all = owner.windows;
        if (owner.menuBar != 0) {
            all.push_back(owner.menuBar);
        }
    }
    std::vector<std::uint64_t> result;
    for (std::uint64_t child : all) {
        if (const Element* c = element(child); c != nullptr && !c->hidden) {
            result.push_back(child);
        }
    }
    return result;
}

void SimElementTree::focus(std::uint64_t token) {
    Process* owner = process(elements_.at(token).pid);
    if (owner == nullptr) {
        return;
    }
    owner->focusedElement = token;
    owner->allSelected = false;
    if (const std::uint64_t window = windowOf(token); window != 0) {
        owner->focusedWindow = window;
    }
}

void SimElementTree::raise(std::uint64_t window) {
    Process& owner = *process(elements_.at(window).pid);
    std::erase(owner.windows, window);
    owner.windows.insert(owner.windows.begin(), window);
    owner.focusedWindow = window;
    owner.mainWindow = window;
}

void SimElementTree::select(std::uint64_t token) {
    Element& chosen = elements_.at(token);
    const std::string chosenRole = role(chosen);
    if (Element* parent = element(chosen.parent)) {
        for (std::uint64_t sibling : parent->children) {
            Element& other = elements_.at(sibling);
            if (sibling != token && role(other) == chosenRole) {
                other.attributes.insert_or_assign("AXValue",
                                                  selectedValue(other.attributes, false));
            }
        }
    }
    chosen.attributes.insert_or_assign("AXValue", selectedValue(chosen.attributes, true));
}

std::uint64_t SimElementTree::applicationElement(std::int32_t pid) {
    if (const Process* p = process(pid)) {
        return p->element;
    }
    return nextToken_++;
}

void SimElementTree::setMessagingTimeout(std::uint64_t token, std::chrono::milliseconds timeout) {
    timeouts_[token] = timeout;
}

std::optional<std::chrono::milliseconds>
SimElementTree::messagingTimeout(std::uint64_t token) const {
    auto found = timeouts_.find(token);
    return found != timeouts_.end() ? std::optional(found->second) : std::nullopt;
}

std::optional<QRectF> SimElementTree::frame(std::uint64_t token) const {
    const Element* e = element(token);
    return e != nullptr ? frameOf(*e) : std::nullopt;
}

std::vector<std::pair<std::int32_t, std::uint64_t>> SimElementTree::visibleWindows() const {
    std::vector<std::pair<std::int32_t, std::uint64_t>> result;
    for (std::int32_t pid : apps_.screenOrder()) {
        const Process* owner = process(pid);
        if (owner == nullptr) {
            continue;
        }
        for (std::uint64_t window : owner->windows) {
            const Element* e = element(window);
            if (e == nullptr || e->hidden) {
                continue;
            }
            auto minimized = e->attributes.find("AXMinimized");
            if (minimized != e->attributes.end() && minimized->second.boolean().value_or(false)) {
                continue;
            }
            if (frameOf(*e)) {
                result.emplace_back(pid, window);
            }
        }
    }
    return result;
}

std::optional<std::uint64_t> SimElementTree::hitWithin(std::uint64_t token, QPointF point) const {
    const Element& e = elements_.at(token);
    if (e.hidden) {
        return std::nullopt;
    }
    // An element without a frame (a plain group) is transparent: only its children can be hit.
    const std::optional<QRectF> bounds = frameOf(e);
    if (bounds && !bounds->contains(point)) {
        return std::nullopt;
    }
    // Later children are drawn over earlier ones.
    for (auto child = e.children.rbegin(); child != e.children.rend(); ++child) {
        if (std::optional<std::uint64_t> deeper = hitWithin(*child, point)) {
            return deeper;
        }
    }
    return bounds ? std::optional(token) : std::nullopt;
}

std::optional<std::uint64_t> SimElementTree::hit(QPointF point, bool skipUnresponsive) const {
    for (const auto& [pid, window] : visibleWindows()) {
        if (skipUnresponsive && !process(pid)->responsive) {
            continue;
        }
        if (std::optional<std::uint64_t> found = hitWithin(window, point)) {
            return found;
        }
    }
    return std::nullopt;
}

JSON SimElementTree::windowSummary(std::int32_t pid) const {
    JSON::Array windows;
    if (const Process* owner = process(pid)) {
        for (std::uint64_t w : owner->windows) {
            const Element& e = elements_.at(w);
            auto title = e.attributes.find("AXTitle");
            windows.push_back(
                JSON(JSON::Object{{"element", JSON(static_cast<double>(w))},
                                  {"id", e.name.empty() ? JSON(nullptr) : JSON(e.name)},
                                  {"title", title != e.attributes.end() && title->second.string()
                                                ? JSON(*title->second.string())
                                                : JSON(nullptr)},
                                  {"hidden", JSON(e.hidden)}}));
        }
    }
    return JSON(std::move(windows));
}

JSON SimElementTree::namedElements() const {
    JSON::Object elements;
    for (const auto& [name, token] : names_) {
        const Element* e = element(token);
        if (e == nullptr) {
            continue;
        }
        JSON::Object attributes;
        for (const auto& [key, value] : e->attributes) {
            attributes.emplace(key, SimValueCodec::toJSON(value));
        }
        attributes.emplace("hidden", JSON(e->hidden));
        elements.emplace(name, JSON(std::move(attributes)));
    }
    return JSON(std::move(elements));
}

} // namespace corvane
