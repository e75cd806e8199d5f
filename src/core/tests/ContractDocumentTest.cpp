#include "core/ContractError.h"
#include "core/ContractValidator.h"
#include "core/Uuid.h"
#include "core/WireTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using corvane::ContractError;
using corvane::ContractValidator;
using corvane::JSON;

namespace {

const ContractValidator& contract() {
    static const ContractValidator validator(QString::fromUtf8(CORVANE_SCHEMA_PATH));
    return validator;
}

bool accepts(std::string_view model, const JSON& value) {
    try {
        contract().validate(model, value);
        return true;
    } catch (const ContractError& error) {
        EXPECT_EQ(error.code(), "invalid_message") << model;
        return false;
    }
}

JSON with(JSON value, const std::string& key, JSON member) {
    (*value.object())[key] = std::move(member);
    return value;
}

JSON without(JSON value, const std::string& key) {
    value.object()->erase(key);
    return value;
}

// What the envelope builder adds to every outgoing message.
JSON envelope(const std::string& type, JSON members = JSON(JSON::Object{})) {
    members = with(std::move(members), "v", JSON(1));
    members = with(std::move(members), "type", JSON(type));
    members = with(std::move(members), "id", JSON(corvane::Uuid::make()));
    return with(std::move(members), "ts",
                JSON(corvane::WireTime::text(std::chrono::system_clock::now())));
}

const char* const commandId = "6F9619FF-8B86-D011-B42D-00C04FC964FF";

JSON capabilities() {
    return JSON::parse(R"json({"schema_version":1,"os_version":"Version 14.5 (Build 23F79)",
        "screen_state":"unlocked","agent_version":"1.4.0","agent_build":null,
        "actions":["lock_screen","sleep_mac","media_play_pause","media_next","media_previous",
            "set_volume","mute","unmute","close_browser_tabs","quit_app","open_app","open_url",
            "run_shortcut","toggle_do_not_disturb","list_apps","get_state","desktop_observe",
            "desktop_act","desktop_stop"],
        "features":["audio_output_state","playback_state","app_inventory","desktop_images",
            "system_status"],
        "permissions":{
    "desktop_control" : "denied", "accessibility" : "granted", "screen_recording" : "unknown"}})json");
}

JSON stateReport() {
    return JSON::parse(R"({"screen_locked":false,"frontmost_app":"Finder",
        "now_playing":{"title":"Song","artist":"Band","source_app":"Spotify","playing":true},
        "battery":{"percent":57,"charging":false},
        "running_apps":["Finder","Safari","Safari"],
        "system":{"macos_version":"14.5.0","uptime_seconds":3600,"low_power_mode":false,
            "thermal_state":"normal","memory":{"total_bytes":17179869184,"used_bytes":8589934592},
            "storage":{"total_bytes":494384795648,"available_bytes":120000000000}},
        "audio":{"volume":35,"muted":false}})");
}

JSON bareStateReport() {
    return JSON::parse(R"({"screen_locked":false,"frontmost_app":null,"now_playing":null,
        "battery":null,"running_apps":[],
        "system":{"macos_version":"15.0.0","uptime_seconds":null,"low_power_mode":true,
            "thermal_state":"unknown","memory":null,"storage":null},
        "audio":null})");
}

JSON appList() {
    return JSON::parse(R"({"apps":[
        {"name":"Safari","bundle_id":"com.apple.Safari","last_opened":"2026-01-02T03:04:05.678Z",
         "running":true},
        {"name":"Notes 2","bundle_id":"com.example.notes-2","last_opened":null,"running":false}],
        "next_offset":100})");
}

JSON observation() {
    return JSON::parse(R"({"snapshot_id":"0b7c1c8e-4a8e-4f7e-9f7a-2d3c1b0a9e8d",
        "bundle_id":"com.apple.TextEdit","expires_at":"2026-01-02T03:04:35.678Z",
        "elements":[
            {"element_id":"0","role":"AXWindow","label":"Untitled","value":"",
             "actions":["AXRaise"]},
            {"element_id":"1","role":"AXScrollArea","label":"","value":"",
             "actions":["AXScrollUpByPage","AXScrollDownByPage"]},
            {"element_id":"2","role":"AXTextArea","label":"","value":"Hello \u00e9",
             "actions":[]}],
        "truncated":false})");
}

JSON windowImage() {
    return JSON::parse(
        R"({"mime_type":"image/jpeg","base64":"/9j/4AAQSkZJRg==","width":640,"height":400})");
}

struct Row {
    std::string label;
    JSON value;
};

void expectAll(std::string_view model, const std::vector<Row>& rows, bool accepted) {
    for (const Row& row : rows) {
        EXPECT_EQ(accepts(model, row.value), accepted) << model << ": " << row.label;
    }
}

} // namespace

TEST(ContractDocument, ActionResults) {
    JSON observed = observation();
    const JSON element = observed.object()->at("elements").array()->front();
    JSON sixtyElements = JSON(JSON::Array{});
    for (int i = 0; i < 60; ++i) {
        sixtyElements.array()->push_back(with(element, "element_id", JSON(std::to_string(i))));
    }
    expectAll(
        "ActionResult",
        {
            {"empty", JSON(JSON::Object{})},
            {"open_app", JSON::parse(R"({"already_open":true,"focused":false})")},
            {"quit_app not running", JSON::parse(R"({"already_closed":true})")},
            {"gate: already locked", JSON::parse(R"({"already_locked":true})")},
            {"gate: screen locked", JSON::parse(R"({"screen_locked":true})")},
            {"get_state", stateReport()},
            {"get_state with every source missing", bareStateReport()},
            {"list_apps", appList()},
            {"list_apps last page", with(appList(), "next_offset", JSON())},
            {"desktop_observe", observed},
            {"desktop_observe with image", with(observed, "image", windowImage())},
            {"desktop_observe with 60 elements", with(observed, "elements", sixtyElements)},
            {"desktop_observe of an app without identifier", with(observed, "bundle_id", JSON(""))},
        },
        true);

    JSON sixtyOne = sixtyElements;
    sixtyOne.array()->push_back(with(element, "element_id", JSON("60")));
    expectAll("ActionResult",
              {
                  {"not an object", JSON(JSON::Array{})},
                  {"unknown member", JSON::parse(R"({"secret":"x"})")},
                  {"open_app missing focused", JSON::parse(R"({"already_open":true})")},
                  {"quit_app false flag", JSON::parse(R"({"already_closed":false})")},
                  {"screen_locked false alone", JSON::parse(R"({"screen_locked":false})")},
                  {"volume above 100",
                   with(stateReport(), "audio", JSON::parse(R"({"volume":101,"muted":false})"))},
                  {"app bundle id with a line break",
                   JSON::parse(R"({"apps":[{"name":"x","bundle_id":"com.example\n",
                 "last_opened":null,"running":false}],"next_offset":null})")},
                  {"element id with a leading zero",
                   with(observed, "elements",
                        JSON(JSON::Array{with(element, "element_id", JSON("01"))}))},
                  {"61 elements", with(observed, "elements", sixtyOne)},
                  {"image wider than 640",
                   with(observed, "image", with(windowImage(), "width", JSON(641)))},
                  {"image base64 with a line break",
                   with(observed, "image", with(windowImage(), "base64", JSON("/9j/\n4AAQ")))},
              },
              false);
}

TEST(ContractDocument, DeviceMessages) {
    const JSON success =
        envelope("result", JSON::parse(std::string(R"({"command_id":")") + commandId +
                                       R"(","ok":true,"data":{"already_locked":true}})"));
    const JSON failure =
        envelope("result", JSON::parse(std::string(R"({"command_id":")") + commandId +
                                       R"(","ok":false,"error_code":"duplicate_command"})"));
    const JSON hello =
        envelope("hello", JSON(JSON::Object{
                              {"device_token", JSON("q3Zb8n0xY_-R2c5d7e9f1g3h5j7k9m1n3p5r7t9v1w3")},
                              {"agent_version", JSON("development")},
                              {"device_name", JSON("Mac")},
                              {"macos_version", JSON("Version 14.5 (Build 23F79)")},
                              {"capabilities", capabilities()},
                          }));
    const JSON heartbeat =
        envelope("heartbeat", JSON(JSON::Object{{"capabilities", capabilities()}}));
    expectAll("DeviceMessage",
              {
                  {"hello", hello},
                  {"heartbeat", heartbeat},
                  {"delivered",
                   envelope("delivered", JSON(JSON::Object{{"command_id", JSON(commandId)}}))},
                  {"result success", success},
                  {"result success with a report", with(success, "data", stateReport())},
                  {"result failure", failure},
                  {"revoke_self", envelope("revoke_self")},
              },
              true);

    expectAll(
        "DeviceMessage",
        {
            {"result with data and error_code", with(success, "error_code", JSON("device_locked"))},
            {"failure carrying data", with(failure, "data", JSON(JSON::Object{}))},
            {"result whose data is no action result",
             with(success, "data", JSON::parse(R"({"secret":1})"))},
            {"error code as a sentence", with(failure, "error_code", JSON("Device locked"))},
            {"envelope id in upper case",
             with(failure, "id", JSON("6F9619FF-8B86-D011-B42D-00C04FC964FF"))},
            {"time without milliseconds", with(failure, "ts", JSON("2026-01-02T03:04:05Z"))},
            {"a command is never sent", with(failure, "type", JSON("command"))},
            {"hello with a header break in the token",
             with(hello, "device_token", JSON("abc\r\nX-Injected: 1"))},
        },
        false);
}

TEST(ContractDocument, RelayMessages) {
    const JSON command =
        JSON::parse(std::string(R"({"type":"command","command_id":")") + commandId +
                    R"(","action":"set_volume","params":{"level":35},
        "expires_at":"2026-01-02T03:04:05.678Z"})");
    const JSON listApps = with(command, "action", JSON("list_apps"));
    expectAll(
        "RelayMessage",
        {
            {"ready", JSON::parse(R"({"type":"ready",
                       "device_id":"0b7c1c8e-4a8e-4f7e-9f7a-2d3c1b0a9e8d"})")},
            {"ready naming another device (the session compares it)",
             JSON::parse(R"({"type":"ready","device_id":"someone-else"})")},
            {"command", command},
            {"command in an envelope", with(with(with(command, "v", JSON(1)), "id",
                                                 JSON("0b7c1c8e-4a8e-4f7e-9f7a-2d3c1b0a9e8d")),
                                            "ts", JSON("2026-01-02T03:04:00Z"))},
            {"command with a member added later", with(command, "priority", JSON(1))},
            {"command with null params", with(command, "params", JSON())},
            {"unknown action", with(command, "action", JSON("teleport"))},
            {"list_apps", with(listApps, "params", JSON::parse(R"({"offset":100})"))},
            {"list_apps with a text offset",
             with(listApps, "params", JSON::parse(R"({"offset":"x"})"))},
            {"another action with a huge offset",
             with(command, "params", JSON::parse(R"({"offset":1e300})"))},
            {"revoke", JSON::parse(R"({"type":"revoke"})")},
            {"bye", JSON::parse(R"({"type":"bye","reason":"maintenance"})")},
            {"unknown type", JSON::parse(R"({"type":"maintenance","window":[1,2]})")},
            {"known type in other case", JSON::parse(R"({"type":"Ready"})")},
        },
        true);

    expectAll("RelayMessage",
              {
                  {"command without expires_at", without(command, "expires_at")},
                  {"command deadline as a date", with(command, "expires_at", JSON("2026-01-02"))},
                  {"command without params", without(command, "params")},
                  {"list_apps offset past any integer",
                   with(listApps, "params", JSON::parse(R"({"offset":1e300})"))},
                  {"ready without device_id", JSON::parse(R"({"type":"ready"})")},
                  {"ready with a malformed envelope id",
                   JSON::parse(R"({"type":"ready","device_id":"d","id":"x"})")},
                  {"no type", JSON::parse(R"({"device_id":"d"})")},
                  {"not an object", JSON::parse(R"(["ready"])")},
              },
              false);
}

TEST(ContractDocument, LocalCommandRequests) {
    expectAll("LocalCommandRequest",
              {
                  {"get_state", JSON::parse(R"({"action":"get_state","params":{}})")},
                  {"set_volume from the slider",
                   JSON::parse(R"({"action":"set_volume","params":{"level":35}})")},
                  {"unknown action", JSON::parse(R"({"action":"teleport","params":null})")},
                  {"list_apps", JSON::parse(R"({"action":"list_apps","params":{"offset":0}})")},
              },
              true);
    expectAll("LocalCommandRequest",
              {
                  {"no params", JSON::parse(R"({"action":"get_state"})")},
                  {"caller-chosen command id",
                   JSON::parse(R"({"action":"mute","params":{},"command_id":"x"})")},
                  {"list_apps offset past any integer",
                   JSON::parse(R"({"action":"list_apps","params":{"offset":-1e20}})")},
                  {"not an object", JSON::parse(R"([{"action":"mute","params":{}}])")},
              },
              false);
}

TEST(ContractDocument, PairingResponses) {
    const JSON code = JSON::parse(R"({"bootstrap_token":"bt_9f8e7d6c5b4a",
        "expires_at":"2026-01-02T03:14:05.678Z",
        "device_id":"0b7c1c8e-4a8e-4f7e-9f7a-2d3c1b0a9e8d","code":"K7P-4QX"})");
    expectAll("PairingCodeResponse",
              {
                  {"with code", code},
                  {"without code", without(code, "code")},
                  {"members of the relay's own", with(code, "poll_interval", JSON(2.5))},
              },
              true);
    expectAll("PairingCodeResponse",
              {
                  {"no bootstrap token", without(code, "bootstrap_token")},
                  {"empty bootstrap token", with(code, "bootstrap_token", JSON(""))},
                  {"bootstrap token with a header break",
                   with(code, "bootstrap_token", JSON("bt\r\nX-Injected: 1"))},
                  {"device id not a UUID", with(code, "device_id", JSON("mac-1"))},
                  {"code with a line break", with(code, "code", JSON("1234\n"))},
                  {"error reply", JSON::parse(R"({"error":{"code":"pairing_expired"}})")},
              },
              false);

    const JSON redeem = JSON::parse(R"({"device_id":"0b7c1c8e-4a8e-4f7e-9f7a-2d3c1b0a9e8d"})");
    expectAll("PairingRedeemResponse",
              {
                  {"device id", redeem},
                  {"members of the relay's own", with(redeem, "paired", JSON(true))},
              },
              true);
    expectAll("PairingRedeemResponse",
              {
                  {"no device id", JSON(JSON::Object{})},
                  {"not an object", JSON("0b7c1c8e-4a8e-4f7e-9f7a-2d3c1b0a9e8d")},
              },
              false);
}
