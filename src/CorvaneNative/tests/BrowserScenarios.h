#pragma once

// Scenario texts of the simulated Mac for the browser tab cleanup tests: Safari and Chrome
// windows with tab strips, close buttons, sheets and Chrome's menus.
#include <string>
#include <vector>

namespace corvane::browser_test {

inline std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

inline const std::string safariCloseAction =
    R"({"name": "AXCloseTab", "description": "Close Tab", "does": [{"close_tab": "self"}]})";

struct SafariTab {
    std::string id;
    // The identifier's fields after "uuid=<id>".
    std::string fields = "isPinned=false";
    std::string title = {};                      // the id when empty
    std::string closeAction = safariCloseAction; // none when empty
    std::string more = {};                       // further element fields, each after a comma
};

inline std::string safariTab(const SafariTab& tab) {
    std::string identifier =
        "TabBarTab?uuid=" + tab.id + (tab.fields.empty() ? "" : "&") + tab.fields;
    std::string actions = R"({"name": "AXPress", "does": [{"select": "self"}]})";
    if (!tab.closeAction.empty()) {
        actions += ", " + tab.closeAction;
    }
    return R"({"id": ")" + tab.id + R"(", "role": "AXRadioButton", "title": ")" +
           (tab.title.empty() ? tab.id : tab.title) + R"(", "identifier": ")" + identifier +
           R"(", "actions": [)" + actions + "]" + tab.more + "}";
}

inline std::string safariTabs(const std::vector<SafariTab>& tabs) {
    std::vector<std::string> texts;
    for (const SafariTab& tab : tabs) {
        texts.push_back(safariTab(tab));
    }
    return joined(texts);
}

inline std::string chromeTab(const std::string& id, bool selected = false, bool pinned = false,
                             const std::string& more = "") {
    return R"({"id": ")" + id + R"(", "role": "AXRadioButton", "title": ")" + id +
           R"(", "value": )" + (selected ? "true" : "false") + R"(, "pinned": )" +
           (pinned ? "true" : "false") + more + "}";
}

struct Window {
    std::string id = {};
    std::string tabs = {}; // the tab elements, joined
    std::string subrole = "AXStandardWindow";
    bool sheet = false;
    // What the close button does; no close button when empty.
    std::string closeDoes = R"([{"remove": "window"}])";
    bool closeFails = false;
    // What Chrome's "New Tab" button does ("$" stands for the window's id); "none" for no button.
    std::string newTab = {};
    std::string extraChildren = {}; // each after a comma
};

// A fresh tab opened and selected in the window's strip.
inline const std::string openFreshTab =
    R"([{"insert": {"parent": "$.tabs", "select": true,
                    "element": {"role": "AXRadioButton", "title": "New Tab"}}}])";

inline std::string substituted(std::string text, const std::string& id) {
    for (std::size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at)) {
        text.replace(at, 1, id);
        at += id.size();
    }
    return text;
}

inline std::string window(const Window& w) {
    std::string text =
        R"({"id": ")" + w.id + R"(", "role": "AXWindow", "subrole": ")" + w.subrole + "\"";
    if (!w.closeDoes.empty()) {
        text += R"(, "close_button": ")" + w.id + R"(.close")";
    }
    text += R"(, "children": [)";
    if (!w.closeDoes.empty()) {
        text += R"({"id": ")" + w.id + R"(.close", "role": "AXButton", "subrole": "AXCloseButton",
                    "actions": [{"name": "AXPress", "fails": )" +
                (w.closeFails ? "true" : "false") + R"(, "does": )" + w.closeDoes + "}]}, ";
    }
    text += R"({"id": ")" + w.id + R"(.sheet", "role": "AXSheet", "hidden": )" +
            (w.sheet ? "false" : "true") + "}, ";
    text += R"({"role": "AXGroup", "children": [{"id": ")" + w.id +
            R"(.tabs", "role": "AXTabGroup", "children": [)" + w.tabs + "]}]}";
    if (!w.newTab.empty() && w.newTab != "none") {
        text += R"(, {"id": ")" + w.id + R"(.newtab", "role": "AXButton", "title": "New Tab",
                      "actions": [{"name": "AXPress", "does": )" +
                substituted(w.newTab, w.id) + "}]}";
    }
    return text + w.extraChildren + "]}";
}

struct ChromeMenus {
    std::string tabMenu = "Tab";
    std::string closeTabTitle = "Close Tab";
    bool closeOthersFails = false;
};

inline std::string chromeMenuBar(const ChromeMenus& m = {}) {
    const auto menu = [](const std::string& id, const std::string& title,
                         const std::string& items) {
        return R"({"id": ")" + id + R"(", "role": "AXMenuBarItem", "title": ")" + title +
               R"(", "actions": [{"name": "AXPress", "does": [{"show": ")" + id +
               R"(.menu"}]}], "children": [{"id": ")" + id +
               R"(.menu", "role": "AXMenu", "hidden": true,
                   "actions": [{"name": "AXCancel", "does": [{"hide": "self"}]}],
                   "children": [)" +
               items + "]}]}";
    };
    const std::string closeTab = R"({"id": "closetab", "role": "AXMenuItem", "title": ")" +
                                 m.closeTabTitle +
                                 R"(", "enabled_for": "close_tab",
            "actions": [{"name": "AXPress", "does": [{"close_tab": "self"}, {"hide": "parent"}]}]})";
    const std::string closeOthers =
        std::string(R"({"id": "closeothers", "role": "AXMenuItem", "title": "Close Other Tabs",
            "enabled_for": "close_other_tabs", "actions": [{"name": "AXPress", "fails": )") +
        (m.closeOthersFails ? "true" : "false") +
        R"(, "does": [{"close_other_tabs": "self"}, {"hide": "parent"}]}]})";
    return R"({"role": "AXMenuBar", "children": [)" + menu("file", "File", closeTab) + ", " +
           menu("tab", m.tabMenu, closeOthers) + "]}";
}

struct App {
    std::string bundleID;
    int pid;
    std::vector<Window> windows;
    std::string menuBar = {}; // none when empty
    bool responsive = true;
};

inline std::string scenario(const std::vector<App>& apps) {
    std::vector<std::string> texts;
    for (const App& app : apps) {
        std::vector<std::string> windows;
        for (const Window& w : app.windows) {
            windows.push_back(window(w));
        }
        std::string ui = R"({"windows": [)" + joined(windows) + "]";
        if (!app.menuBar.empty()) {
            ui += R"(, "menu_bar": )" + app.menuBar;
        }
        if (!app.windows.empty()) {
            ui += R"(, "main_window": ")" + app.windows.front().id + "\"";
        }
        ui += std::string(R"(, "responsive": )") + (app.responsive ? "true" : "false") + "}";
        texts.push_back(R"({"path": "Applications/)" + app.bundleID + R"(.app", "bundle":
            {"CFBundleIdentifier": ")" +
                        app.bundleID + R"("}, "running": [{"pid": )" + std::to_string(app.pid) +
                        R"(}], "ui": )" + ui + "}");
    }
    return R"({"apps": [)" + joined(texts) + "]}";
}

inline App safari(std::vector<Window> windows) {
    return App{"com.apple.Safari", 402, std::move(windows)};
}

inline App chrome(std::vector<Window> windows, const ChromeMenus& menus = {}) {
    for (Window& w : windows) {
        if (w.newTab.empty()) {
            w.newTab = openFreshTab;
        }
    }
    return App{"com.google.Chrome", 510, std::move(windows), chromeMenuBar(menus)};
}

} // namespace corvane::browser_test
