#include "sim/SimScenario.h"

#include "core/WireTime.h"
#include "sim/SimScenarioError.h"
#include "sim/SimTabStrips.h"
#include "sim/SimValueCodec.h"

#include <QRegularExpression>

#include <cmath>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

namespace corvane::SimScenario {

namespace {

using Check = std::function<void(JSON&, const std::string&)>;

[[noreturn]] void refuse(const std::string& path, const std::string& what) {
    throw SimScenarioError((path.empty() ? std::string("scenario") : path) + ": " + what);
}

std::string member(const std::string& path, std::string_view key) {
    bool plain = !key.empty();
    for (char c : key) {
        const bool word =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        plain = plain && word;
    }
    if (!plain) {
        return path + "[" + JSON(std::string(key)).data() + "]";
    }
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string item(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

Check boolean() {
    return [](JSON& v, const std::string& p) {
        if (!v.isBool()) {
            refuse(p, "expected a boolean");
        }
    };
}

Check integer(double min, double max) {
    return [min, max](JSON& v, const std::string& p) {
        const std::optional<double> d = v.number();
        if (!d || std::floor(*d) != *d) {
            refuse(p, "expected an integer");
        }
        if (*d < min || *d > max) {
            refuse(p, "expected an integer from " + JSON(min).data() + " to " + JSON(max).data());
        }
    };
}

Check string() {
    return [](JSON& v, const std::string& p) {
        if (!v.isString()) {
            refuse(p, "expected a string");
        }
    };
}

Check oneOf(std::vector<std::string> choices) {
    return [choices = std::move(choices)](JSON& v, const std::string& p) {
        const std::string* s = v.string();
        for (const std::string& choice : choices) {
            if (s != nullptr && *s == choice) {
                return;
            }
        }
        std::string list;
        for (const std::string& choice : choices) {
            list += (list.empty() ? "" : ", ") + JSON(choice).data();
        }
        refuse(p, "expected one of " + list);
    };
}

Check wireTime() {
    return [](JSON& v, const std::string& p) {
        if (v.string() == nullptr || !WireTime::parse(*v.string())) {
            refuse(p, "expected a wire time such as 2026-01-02T03:04:05.000Z");
        }
    };
}

Check nullable(Check inner) {
    return [inner = std::move(inner)](JSON& v, const std::string& p) {
        if (!v.isNull()) {
            inner(v, p);
        }
    };
}

Check arrayOf(Check inner) {
    return [inner = std::move(inner)](JSON& v, const std::string& p) {
        JSON::Array* array = v.array();
        if (array == nullptr) {
            refuse(p, "expected an array");
        }
        for (std::size_t i = 0; i < array->size(); ++i) {
            inner((*array)[i], item(p, i));
        }
    };
}

Check mapOf(Check inner) {
    return [inner = std::move(inner)](JSON& v, const std::string& p) {
        JSON::Object* object = v.object();
        if (object == nullptr) {
            refuse(p, "expected an object");
        }
        for (auto& [key, value] : *object) {
            inner(value, member(p, key));
        }
    };
}

Check platformValue(bool allowRefs = false) {
    return [allowRefs](JSON& v, const std::string& p) {
        SimValueCodec::validate(v, p, allowRefs);
    };
}

struct Field {
    std::string name;
    Check check;
    // Filled in when the member is missing; a missing member without one stays missing.
    std::optional<JSON> fallback = std::nullopt;
    bool required = false;
};

Field required(std::string name, Check check) {
    return Field{std::move(name), std::move(check), std::nullopt, true};
}

Field optional(std::string name, Check check) {
    return Field{std::move(name), std::move(check), std::nullopt, false};
}

Field fallback(std::string name, Check check, JSON value) {
    return Field{std::move(name), std::move(check), std::move(value), false};
}

Check object(std::vector<Field> fields) {
    return [fields = std::move(fields)](JSON& v, const std::string& p) {
        JSON::Object* object = v.object();
        if (object == nullptr) {
            refuse(p, "expected an object");
        }
        for (const auto& [key, value] : *object) {
            bool known = false;
            for (const Field& field : fields) {
                known = known || field.name == key;
            }
            if (!known) {
                refuse(member(p, key), "unknown field");
            }
        }
        for (const Field& field : fields) {
            auto found = object->find(field.name);
            if (found == object->end()) {
                if (field.required) {
                    refuse(member(p, field.name), "missing");
                }
                if (!field.fallback) {
                    continue;
                }
                found = object->emplace(field.name, *field.fallback).first;
            }
            field.check(found->second, member(p, field.name));
        }
    };
}

JSON obj(std::initializer_list<std::pair<const std::string, JSON>> members) {
    return JSON(JSON::Object(members));
}

// Element trees: ids must be unique, and every named reference must name an element of a tree
// (elements inside insertion templates are created later and cannot be named).
class ElementChecker {
public:
    Check element(bool inTemplate) {
        return [this, inTemplate](JSON& v, const std::string& p) {
            checkElement(v, p, inTemplate);
        };
    }

    Check ref() {
        return [this](JSON& v, const std::string& p) {
            if (v.string() == nullptr || v.string()->empty()) {
                refuse(p, "expected an element id");
            }
            const std::string& name = *v.string();
            if (name != "self" && name != "parent" && name != "window") {
                refs_.emplace_back(name, p);
            }
        };
    }

    Check effects() {
        return arrayOf([this](JSON& e, const std::string& ep) { checkEffect(e, ep, false); });
    }

    void finish() const {
        for (const auto& [name, path] : refs_) {
            if (!ids_.contains(name)) {
                refuse(path, "unknown element id " + JSON(name).data());
            }
        }
    }

private:
    void checkElement(JSON& v, const std::string& p, bool inTemplate) {
        Check action = object({
            required("name", string()),
            optional("description", string()),
            fallback("fails", boolean(), JSON(false)),
            fallback("does", arrayOf([this, inTemplate](JSON& e, const std::string& ep) {
                         checkEffect(e, ep, inTemplate);
                     }),
                     JSON(JSON::Array{})),
        });
        Check frame = [](JSON& f, const std::string& fp) {
            const JSON::Array* a = f.array();
            if (a == nullptr || a->size() != 4) {
                refuse(fp, "expected [x, y, width, height]");
            }
            for (std::size_t i = 0; i < 4; ++i) {
                if (!(*a)[i].isNumber() || (i >= 2 && *(*a)[i].number() < 0)) {
                    refuse(item(fp, i),
                           i >= 2 ? "expected a number not below 0" : "expected a number");
                }
            }
        };
        Check color = [](JSON& c, const std::string& cp) {
            static const QRegularExpression pattern(QStringLiteral("^#[0-9A-Fa-f]{6}$"));
            if (c.string() == nullptr ||
                !pattern.match(QString::fromStdString(*c.string())).hasMatch()) {
                refuse(cp, "expected a colour \"#rrggbb\"");
            }
        };
        Check id = [this, inTemplate](JSON& i, const std::string& ip) {
            if (i.string() == nullptr || i.string()->empty()) {
                refuse(ip, "expected a non-empty string");
            }
            const std::string& name = *i.string();
            if (name == "self" || name == "parent" || name == "window") {
                refuse(ip, "reserved id " + JSON(name).data());
            }
            if (!inTemplate && !ids_.insert(name).second) {
                refuse(ip, "duplicate element id " + JSON(name).data());
            }
        };
        object({
            optional("id", id),
            required("role", string()),
            optional("subrole", string()),
            optional("title", string()),
            optional("description", string()),
            optional("identifier", string()),
            optional("help", string()),
            optional("value", platformValue()),
            optional("enabled", boolean()),
            optional("frame", frame),
            fallback("hidden", boolean(), JSON(false)),
            optional("settable", boolean()),
            optional("color", color),
            optional("close_button", ref()),
            optional("attributes", mapOf(platformValue(true))),
            optional("layer", integer(-1.0e6, 1.0e6)),
            optional("on_read", arrayOf([this, inTemplate](JSON& e, const std::string& ep) {
                         checkEffect(e, ep, inTemplate);
                     })),
            optional("on_capture", arrayOf([this, inTemplate](JSON& e, const std::string& ep) {
                         checkEffect(e, ep, inTemplate);
                     })),
            fallback("actions", arrayOf(action), JSON(JSON::Array{})),
            fallback("children", arrayOf(element(inTemplate)), JSON(JSON::Array{})),
            optional("pinned", boolean()),
            optional("on_close", arrayOf([this, inTemplate](JSON& e, const std::string& ep) {
                         checkEffect(e, ep, inTemplate);
                     })),
            optional("enabled_for", oneOf({"close_tab", "close_other_tabs"})),
        })(v, p);
        if (v.find("enabled_for") != nullptr && v.find("enabled") != nullptr) {
            refuse(member(p, "enabled"), "not with \"enabled_for\", which decides \"AXEnabled\"");
        }
        if (const JSON* attributes = v.find("attributes")) {
            collectAttributeRefs(*attributes, member(p, "attributes"));
        }
    }

    void collectAttributeRefs(const JSON& v, const std::string& p) {
        if (const JSON::Object* members = v.object()) {
            if (members->size() == 1 && members->begin()->first == "$ref") {
                refs_.emplace_back(*members->begin()->second.string(), p + ".$ref");
                return;
            }
            for (const auto& [key, value] : *members) {
                collectAttributeRefs(value, member(p, key));
            }
        } else if (const JSON::Array* array = v.array()) {
            for (std::size_t i = 0; i < array->size(); ++i) {
                collectAttributeRefs((*array)[i], item(p, i));
            }
        }
    }

    void checkEffect(JSON& v, const std::string& p, bool /*inTemplate*/) {
        const JSON::Object* members = v.object();
        if (members == nullptr || members->size() != 1) {
            refuse(p, "expected an object with exactly one effect");
        }
        const std::string kind = members->begin()->first;
        if (kind == "toggle" || kind == "remove" || kind == "show" || kind == "hide" ||
            kind == "select" || kind == "focus" || kind == "raise" || kind == "remove_selected" ||
            kind == "remove_unselected" || kind == "quit" || SimTabStrips::isEffect(kind)) {
            object({required(kind, ref())})(v, p);
        } else if (kind == "set") {
            object({required("set", object({
                                        required("target", ref()),
                                        required("attribute", string()),
                                        required("value", platformValue(true)),
                                    }))})(v, p);
        } else if (kind == "insert") {
            object({required("insert", object({
                                           required("parent", ref()),
                                           required("element", element(true)),
                                           fallback("select", boolean(), JSON(false)),
                                       }))})(v, p);
        } else if (kind == "lock_screen") {
            object({required(kind, boolean())})(v, p);
        } else {
            refuse(member(p, kind), "unknown effect");
        }
    }

    std::set<std::string> ids_;
    std::vector<std::pair<std::string, std::string>> refs_;
};

std::vector<Field> settingsFields() {
    const JSON defaultRecord = obj({{"kCGSSessionOnConsoleKey", JSON(true)},
                                    {"kCGSSessionUserIDKey", JSON(501)},
                                    {"CGSSessionScreenIsLocked", JSON(false)}});
    const JSON defaultSession = obj({{"kCGSSessionUserIDKey", JSON(501)},
                                     {"kCGSSessionOnConsoleKey", JSON(true)},
                                     {"kCGSessionLoginDoneKey", JSON(true)}});
    Check answer = oneOf({"first", "second"});
    Check loginStatus = oneOf({"not_registered", "enabled", "requires_approval", "not_found"});
    Check byteCount = nullable(integer(0, 9.0e15));
    return {
        fallback("host_name", string(), JSON("Simulated-Mac")),
        fallback("os_version",
                 object({
                     fallback("major", integer(0, 1000), JSON(14)),
                     fallback("minor", integer(0, 1000), JSON(5)),
                     fallback("patch", integer(0, 1000), JSON(0)),
                     fallback("text", string(), JSON("Version 14.5 (Build 23F79)")),
                 }),
                 obj({})),
        fallback("console",
                 object({
                     fallback("registry_available", boolean(), JSON(true)),
                     fallback("users", nullable(platformValue()), JSON(JSON::Array{defaultRecord})),
                     fallback("locked", nullable(platformValue()), JSON(false)),
                     fallback("session", nullable(platformValue()), defaultSession),
                     fallback("uid", integer(0, 4294967295.0), JSON(501)),
                     fallback("legacy_lock_tool", boolean(), JSON(false)),
                 }),
                 obj({})),
        fallback("accessibility",
                 object({
                     fallback("trusted", boolean(), JSON(true)),
                     fallback("grant_on_request", boolean(), JSON(false)),
                 }),
                 obj({})),
        fallback("screen_capture",
                 object({
                     fallback("allowed", boolean(), JSON(true)),
                     fallback("grant_on_request", boolean(), JSON(false)),
                     fallback("declined", boolean(), JSON(false)),
                     fallback("capture_fails", boolean(), JSON(false)),
                 }),
                 obj({})),
        fallback("audio",
                 object({
                     fallback("volume", integer(0, 100), JSON(50)),
                     fallback("muted", boolean(), JSON(false)),
                 }),
                 obj({})),
        fallback("players",
                 mapOf(object({
                     fallback("state", oneOf({"stopped", "paused", "playing"}), JSON("stopped")),
                     fallback("tracks",
                              arrayOf(object({
                                  required("name", string()),
                                  required("artist", string()),
                              })),
                              JSON(JSON::Array{})),
                     fallback("track", integer(0, 1.0e6), JSON(0)),
                 })),
                 obj({})),
        fallback("automation", mapOf(oneOf({"granted", "denied", "not_determined"})), obj({})),
        fallback("scripting", object({fallback("available", boolean(), JSON(true))}), obj({})),
        fallback(
            "power",
            object({
                fallback("sources", nullable(platformValue()), JSON(JSON::Array{})),
                fallback("sleep", oneOf({"accepted", "unavailable", "denied"}), JSON("accepted")),
            }),
            obj({})),
        fallback("host",
                 object({
                     fallback("memory",
                              nullable(object({
                                  required("physical_bytes", integer(0, 9.0e15)),
                                  required("page_size", integer(0, 9.0e15)),
                                  required("active_pages", integer(0, 9.0e15)),
                                  required("wired_pages", integer(0, 9.0e15)),
                                  required("compressor_pages", integer(0, 9.0e15)),
                              })),
                              obj({{"physical_bytes", JSON(17179869184.0)},
                                   {"page_size", JSON(16384)},
                                   {"active_pages", JSON(300000)},
                                   {"wired_pages", JSON(150000)},
                                   {"compressor_pages", JSON(50000)}})),
                     fallback("boot_time",
                              nullable(object({
                                  required("seconds", integer(-9.0e15, 9.0e15)),
                                  fallback("microseconds", integer(0, 999999), JSON(0)),
                              })),
                              obj({{"seconds", JSON(1780000000)}, {"microseconds", JSON(0)}})),
                     fallback("thermal_state",
                              oneOf({"nominal", "fair", "serious", "critical", "other"}),
                              JSON("nominal")),
                     fallback("low_power_mode", boolean(), JSON(false)),
                     fallback("volume",
                              object({
                                  fallback("total_bytes", byteCount, JSON(494384795648.0)),
                                  fallback("available_bytes", byteCount, JSON(201863462912.0)),
                              }),
                              obj({})),
                 }),
                 obj({})),
        fallback("keychain",
                 object({
                     fallback("interaction_not_allowed", boolean(), JSON(false)),
                     fallback("failing", boolean(), JSON(false)),
                     fallback("items",
                              arrayOf(object({
                                  required("service", string()),
                                  required("account", string()),
                                  required("secret", string()),
                              })),
                              JSON(JSON::Array{})),
                 }),
                 obj({})),
        fallback("login_item",
                 object({
                     fallback("status", loginStatus, JSON("not_registered")),
                     fallback("on_register", loginStatus, JSON("enabled")),
                     fallback("refuse_changes", boolean(), JSON(false)),
                 }),
                 obj({})),
        fallback("prompts",
                 object({
                     fallback("answers", arrayOf(answer), JSON(JSON::Array{})),
                     fallback("default_answer", answer, JSON("first")),
                     fallback("browser_fails", boolean(), JSON(false)),
                 }),
                 obj({})),
        fallback("workspace", object({fallback("open_url_fails", boolean(), JSON(false))}),
                 obj({})),
        fallback("pasteboard", nullable(string()), JSON(nullptr)),
        fallback("shortcuts",
                 mapOf(object({
                     fallback("exit_status", integer(0, 255), JSON(0)),
                     fallback("duration_ms", integer(0, 600000), JSON(0)),
                 })),
                 obj({})),
        fallback("catalog", object({fallback("index_available", boolean(), JSON(true))}), obj({})),
        fallback("input", object({fallback("fails", boolean(), JSON(false))}), obj({})),
    };
}

Check bundlePath() {
    return [](JSON& v, const std::string& p) {
        const std::string* s = v.string();
        if (s == nullptr) {
            refuse(p, "expected a string");
        }
        const QString path = QString::fromStdString(*s);
        const bool bad = path.isEmpty() || path.startsWith(QLatin1Char('/')) ||
                         !path.endsWith(QStringLiteral(".app")) ||
                         path.split(QLatin1Char('/')).contains(QStringLiteral("..")) ||
                         path.split(QLatin1Char('/')).contains(QString()) ||
                         path.split(QLatin1Char('/')).contains(QStringLiteral("."));
        if (bad) {
            refuse(p, "expected a relative path ending in \".app\", e.g. "
                      "\"Applications/Safari.app\"");
        }
    };
}

Check appCheck(ElementChecker& elements) {
    return object({
        required("path", bundlePath()),
        required("bundle", object({
                               optional("CFBundleIdentifier", string()),
                               optional("CFBundleName", string()),
                               optional("CFBundleDisplayName", string()),
                               optional("CFBundleShortVersionString", string()),
                               optional("CFBundleVersion", string()),
                               optional("CFBundleExecutable", string()),
                               optional("LSUIElement", boolean()),
                               optional("LSBackgroundOnly", boolean()),
                           })),
        optional("name", string()),
        fallback("installed", boolean(), JSON(true)),
        fallback("indexed", boolean(), JSON(true)),
        fallback("last_used", nullable(wireTime()), JSON(nullptr)),
        fallback("quit", oneOf({"quits", "refuses", "stays_open"}), JSON("quits")),
        fallback("on_quit", elements.effects(), JSON(JSON::Array{})),
        fallback("launch", oneOf({"launches", "fails"}), JSON("launches")),
        fallback("activation", oneOf({"comes_forward", "stays_behind"}), JSON("comes_forward")),
        fallback("running",
                 arrayOf(object({
                     required("pid", integer(1, 2147483647.0)),
                     fallback("launch_date", nullable(wireTime()), JSON(nullptr)),
                     optional("policy", oneOf({"regular", "accessory", "prohibited"})),
                 })),
                 JSON(JSON::Array{})),
        optional("ui",
                 object({
                     fallback("windows", arrayOf(elements.element(false)), JSON(JSON::Array{})),
                     optional("menu_bar", elements.element(false)),
                     fallback("focused_window", nullable(elements.ref()), JSON(nullptr)),
                     fallback("main_window", nullable(elements.ref()), JSON(nullptr)),
                     fallback("focused_element", nullable(elements.ref()), JSON(nullptr)),
                     fallback("responsive", boolean(), JSON(true)),
                 })),
    });
}

} // namespace

bool isModelMember(std::string_view key) {
    return key == "apps" || key == "frontmost";
}

JSON normaliseSettings(JSON settings) {
    object(settingsFields())(settings, "");
    return settings;
}

JSON normalise(JSON scenario) {
    ElementChecker elements;
    std::vector<Field> fields = settingsFields();
    fields.push_back(fallback("apps", arrayOf(appCheck(elements)), JSON(JSON::Array{})));
    fields.push_back(fallback("frontmost", nullable(integer(1, 2147483647.0)), JSON(nullptr)));
    object(std::move(fields))(scenario, "");
    elements.finish();

    // Whole-document rules: unique process ids, a running front application.
    std::map<double, std::string> pids;
    const JSON::Array& apps = *scenario.find("apps")->array();
    for (std::size_t a = 0; a < apps.size(); ++a) {
        const JSON::Array& running = *apps[a].find("running")->array();
        for (std::size_t r = 0; r < running.size(); ++r) {
            const std::string path = "apps" + std::string("[") + std::to_string(a) + "].running[" +
                                     std::to_string(r) + "].pid";
            const double pid = *running[r].find("pid")->number();
            if (!pids.emplace(pid, path).second) {
                refuse(path, "process id already used at " + pids[pid]);
            }
        }
    }
    if (const std::optional<double> front = scenario.find("frontmost")->number()) {
        if (!pids.contains(*front)) {
            refuse("frontmost", "no running application has process id " + JSON(*front).data());
        }
    }
    return scenario;
}

JSON parse(std::string_view text) {
    JSON document;
    try {
        document = JSON::parse(text);
    } catch (const JSONReadError& error) {
        refuse("scenario", std::string("not valid JSON (") + error.what() + ")");
    }
    return normalise(std::move(document));
}

} // namespace corvane::SimScenario
