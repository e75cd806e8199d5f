#include "core/ContractValidator.h"

#include "core/ContractError.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using corvane::ContractError;
using corvane::ContractFileError;
using corvane::ContractValidator;
using corvane::JSON;
using corvane::JSONReadError;

namespace {

// The code a document is refused with, or "" when it loads.
std::string refusal(const std::string& document) {
    try {
        ContractValidator::fromData(document);
        return {};
    } catch (const ContractError& error) {
        return error.code();
    }
}

// A document whose model "M" is `schema`, beside a few models to refer to.
ContractValidator withModel(const std::string& schema) {
    return ContractValidator::fromData(R"({"properties":{"S":{"type":"string"}},"$defs":{"M":)" +
                                       schema +
                                       R"(,"Str":{"type":"string"},"Short":{"maxLength":2}}})");
}

bool accepts(const ContractValidator& validator, const JSON& value) {
    try {
        validator.validate("M", value);
        return true;
    } catch (const ContractError& error) {
        EXPECT_EQ(error.code(), "invalid_message");
        return false;
    }
}

std::string refChain(int hops) {
    std::string defs;
    for (int i = 0; i < hops; ++i) {
        defs +=
            "\"D" + std::to_string(i) + R"(":{"$ref":"#/$defs/D)" + std::to_string(i + 1) + "\"},";
    }
    return R"({"$defs":{)" + defs + "\"D" + std::to_string(hops) + R"(":{"type":"string"}}})";
}

} // namespace

TEST(ContractValidatorLoading, RefusesDocumentsOutsideTheSubset) {
    const struct {
        const char* document;
        const char* code;
    } rows[] = {
        {R"({"$defs":{"A":{"type":"object","title":"x"}}})", "unsupported_schema_keyword"},
        {R"({"title":"Contract","$defs":{}})", "unsupported_schema_keyword"},
        {R"({"$defs":{"A":{"properties":{"b":{"$defs":{"c":{"if":{}}}}}}}})",
         "unsupported_schema_keyword"},
        {R"({"$defs":{"A":{"format":"email"}}})", "unsupported_schema_format"},
        {R"({"$defs":{"A":{"anyOf":[{"format":"ipv4"}]}}})", "unsupported_schema_format"},
        {R"({"$defs":{"A":{"items":[{"type":"string"}]}}})", "invalid_schema"},
        {R"([])", "invalid_schema"},
        {R"({"$defs":{"A":1}})", "invalid_schema"},
        {R"({"$defs":{"A":{"properties":{"b":"string"}}}})", "invalid_schema"},
        // Nested schemas are checked before the node's own format.
        {R"({"format":"email","properties":{"a":{"title":"x"}}})", "unsupported_schema_keyword"},
        {R"({"format":"email","items":[]})", "invalid_schema"},
        // Members that are not of the shape a keyword walks are skipped, not refused.
        {R"({"$defs":5,"properties":[],"oneOf":{},"anyOf":"x","format":7})", ""},
        {R"({"$schema":"x","$id":"y","default":{"title":1},"description":"z","$defs":{}})", ""},
        {R"({"$defs":{"A":{"enum":[{"title":"x"}],"const":{"format":"email"}}}})", ""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(refusal(row.document), row.code) << row.document;
    }
}

// Reading the real document from its file is what the contract document tests do.
TEST(ContractValidatorLoading, UnreadableFilesAreTheirOwnKindOfError) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("v1.schema.json"));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"$defs":)");
    file.close();

    EXPECT_THROW(ContractValidator(dir.filePath(QStringLiteral("absent.json"))), ContractFileError);
    EXPECT_THROW(ContractValidator{dir.path()}, ContractFileError);
    // A reader error passes unchanged.
    EXPECT_THROW(ContractValidator{path}, JSONReadError);
    EXPECT_THROW(ContractValidator::fromData(""), JSONReadError);
}

TEST(ContractValidatorLoading, UnknownModelEvenForAnEmptySchema) {
    const auto code = [](const char* document, const char* model) {
        try {
            ContractValidator::fromData(document).validate(model, JSON());
            return std::string();
        } catch (const ContractError& error) {
            return error.code();
        }
    };
    EXPECT_EQ(code(R"({"$defs":{"A":{}}})", "A"), "");
    EXPECT_EQ(code(R"({"$defs":{"A":{}}})", "B"), "unknown_model");
    EXPECT_EQ(code(R"({"$defs":{"A":{}}})", "a"), "unknown_model");
    EXPECT_EQ(code(R"({})", "A"), "unknown_model");
    EXPECT_EQ(code(R"({"$defs":[]})", "A"), "unknown_model");
}

TEST(ContractValidatorMatching, AppliesEachKeyword) {
    const struct {
        const char* schema;
        const char* value;
        bool accepted;
    } rows[] = {
        {R"({})", R"({"anything":[1]})", true},
        // oneOf: exactly one branch; anyOf: at least one.
        {R"({"oneOf":[{"type":"number"},{"type":"integer"}]})", "2", false},
        {R"({"oneOf":[{"type":"number"},{"type":"integer"}]})", "1.5", true},
        {R"({"anyOf":[{"type":"string"},{"type":"null"}]})", "1", false},
        {R"({"anyOf":[{"type":"string"},{"type":"null"}]})", "null", true},
        {R"({"anyOf":[]})", "null", false},
        {R"({"oneOf":[]})", "null", false},
        // type
        {R"({"type":"integer"})", "1.5", false},
        {R"({"type":"integer"})", "2.0", true},
        {R"({"type":"integer"})", "-0", true},
        {R"({"type":"integer"})", R"("2")", false},
        {R"({"type":"number"})", "true", false},
        {R"({"type":"date"})", R"("x")", false},
        {R"({"type":["number"]})", R"("x")", true},
        // const and enum use canonical equivalence for strings and never mix cases.
        {R"({"const":"\u00e9"})", R"("e\u0301")", true},
        {R"({"const":{"a":[1,2]}})", R"({"a":[2,1]})", false},
        {R"({"enum":[1,"a",null]})", R"("b")", false},
        {R"({"enum":"a"})", R"("b")", true},
        // objects
        {R"({"properties":{"a":{}},"additionalProperties":false})", R"({"a":1,"b":2})", false},
        {R"({"properties":{"a":{}},"additionalProperties":false})", R"({"a":1})", true},
        {R"({"properties":{"a":{}},"additionalProperties":true})", R"({"b":2})", true},
        {R"({"properties":{"a":{}},"additionalProperties":{"type":"string"}})", R"({"b":2})", true},
        {R"({"required":["a"]})", R"({"a":null})", true},
        {R"({"required":["a"]})", R"({"b":1})", false},
        {R"({"required":[1]})", R"({"1":1})", false},
        {R"({"required":"a"})", R"({})", true},
        {R"({"properties":{"a":{"type":"string"}}})", R"({"a":1})", false},
        // arrays
        {R"({"minItems":2,"maxItems":3})", "[1]", false},
        {R"({"minItems":2,"maxItems":3})", "[1,2,3]", true},
        {R"({"minItems":2,"maxItems":3})", "[1,2,3,4]", false},
        {R"({"items":{"type":"integer"}})", "[1,2,3.5]", false},
        {R"({"uniqueItems":true})", R"([{"a":1},{"a":1}])", false},
        {R"({"uniqueItems":true})", R"(["\u00e9","e\u0301"])", false},
        {R"({"uniqueItems":true})", R"([1,"1",true])", true},
        {R"({"uniqueItems":false})", "[1,1]", true},
        // numbers: inclusive bounds
        {R"({"minimum":0,"maximum":100})", "100", true},
        {R"({"minimum":0,"maximum":100})", "100.5", false},
        // Unicode scalar values: a decomposed accented letter counts twice.
        {R"({"maxLength":3})", R"("\u00e9t\u00e9")", true},
        {R"({"maxLength":3})", R"("e\u0301te\u0301")", false},
        {R"({"maxLength":1})", R"("\ud83d\ude00")", true},
        {R"({"minLength":2})", R"("\ud83d\ude00")", false},
        // unanchored search
        {R"({"pattern":"b+c"})", R"("abbbcd")", true},
        {R"({"pattern":"^b+c$"})", R"("abbbcd")", false},
        {R"({"pattern":"("})", R"("(")", false},
        // Keywords of another case are ignored.
        {R"({"minimum":10,"required":["a"]})", R"("short")", true},
        {R"({"type":"null","minLength":3})", "null", true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(accepts(withModel(row.schema), JSON::parse(row.value)), row.accepted)
            << row.schema << " against " << row.value;
    }
}

TEST(ContractValidatorMatching, Formats) {
    const struct {
        const char* format;
        const char* value;
        bool accepted;
    } rows[] = {
        {"uuid", "123e4567-e89b-12d3-a456-426614174000", true},
        {"uuid", "123E4567-E89B-12D3-A456-426614174000", true},
        {"uuid", "{123e4567-e89b-12d3-a456-426614174000}", false},
        {"uuid", "123e4567e89b12d3a456426614174000", false},
        {"date-time", "2026-01-02T03:04:05.678Z", true},
        {"date-time", "2026-01-02", false},
        {"uri", "https://example.com/a?b=c#d", true},
        {"uri", "HTTPS://example.com", true},
        {"uri", "velto:pair", true},
        {"uri", "http:///path", false},
        {"uri", "HTTP:relative", false},
        {"uri", "https://exa mple.com", false},
        {"uri", "https://example.com/\u2028", false},
        {"uri", "relative/path", false},
    };
    for (const auto& row : rows) {
        const auto validator = withModel(std::string(R"({"format":")") + row.format + "\"}");
        EXPECT_EQ(accepts(validator, JSON(row.value)), row.accepted)
            << row.format << " " << row.value;
    }
}

TEST(ContractValidatorMatching, ReferencesResolveOnlyIntoDefs) {
    const struct {
        const char* schema;
        const char* value;
        bool accepted;
    } rows[] = {
        {R"({"$ref":"#/$defs/Str"})", R"("x")", true},
        {R"({"$ref":"#/$defs/Str"})", "1", false},
        // The keywords beside a reference still apply.
        {R"({"$ref":"#/$defs/Str","maxLength":2})", R"("abc")", false},
        {R"({"$ref":"#/$defs/Short","type":"number"})", "12345", true},
        {R"({"$ref":"#/$defs/Short","type":"string"})", R"("12345")", false},
        // Another definitions member, a nested path, a missing model or a foreign document.
        {R"({"$ref":"#/properties/S"})", R"("x")", false},
        {R"({"$ref":"#/definitions/Str"})", R"("x")", false},
        {R"({"$ref":"#/$defs/M/properties/a"})", R"("x")", false},
        {R"({"$ref":"#/$defs/Missing"})", R"("x")", false},
        {R"({"$ref":"other.json#/$defs/Str"})", R"("x")", false},
        // A reference that is not a string is ignored.
        {R"({"$ref":7})", "1", true},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(accepts(withModel(row.schema), JSON::parse(row.value)), row.accepted)
            << row.schema << " against " << row.value;
    }

    // The rest of the reference is one literal key: no pointer unescaping.
    const auto literal = ContractValidator::fromData(
        R"({"$defs":{"M":{"$ref":"#/$defs/a~1b"},"a~1b":{"type":"string"},"a/b":{}}})");
    EXPECT_TRUE(accepts(literal, JSON("x")));
    EXPECT_FALSE(accepts(literal, JSON(1)));
}

TEST(ContractValidatorMatching, SameValueReferenceLoopsAreRefusedAtLoad) {
    // Each of these would test one value against itself forever.
    EXPECT_EQ(refusal(R"({"$defs":{"A":{"$ref":"#/$defs/A"}}})"), "invalid_schema");
    EXPECT_EQ(refusal(R"({"$defs":{"A":{"$ref":"#/$defs/B"},"B":{"$ref":"#/$defs/A"}}})"),
              "invalid_schema");
    EXPECT_EQ(refusal(R"({"$defs":{"A":{"oneOf":[{"$ref":"#/$defs/B"},{"type":"null"}]},
                          "B":{"anyOf":[{"type":"string"},{"anyOf":[{"$ref":"#/$defs/A"}]}]}}})"),
              "invalid_schema");
    // A loop that no model can reach still refuses the document.
    EXPECT_EQ(refusal(R"({"$defs":{"M":{},"X":{"$ref":"#/$defs/Y"},"Y":{"$ref":"#/$defs/X"}}})"),
              "invalid_schema");
    // Long chains are bounded too.
    EXPECT_EQ(refusal(refChain(32)), "");
    EXPECT_EQ(refusal(refChain(33)), "invalid_schema");
    const auto chained = ContractValidator::fromData(refChain(32));
    EXPECT_NO_THROW(chained.validate("D0", JSON("x")));
    EXPECT_THROW(chained.validate("D0", JSON(1)), ContractError);
    // Shared targets are not loops.
    EXPECT_EQ(refusal(R"({"$defs":{"A":{"anyOf":[{"$ref":"#/$defs/C"},{"$ref":"#/$defs/C"}]},
                          "B":{"$ref":"#/$defs/C"},"C":{}}})"),
              "");
}

TEST(ContractValidatorMatching, RecursionThroughMembersFollowsTheValue) {
    const auto tree = ContractValidator::fromData(R"({"$defs":{"Tree":{"type":"object",
        "required":["name"],"additionalProperties":false,
        "properties":{"name":{"type":"string"},
                      "children":{"type":"array","items":{"$ref":"#/$defs/Tree"}}}}}})");
    // Built with moves only: copying a very deep value would itself recurse.
    const auto nest = [](int depth, JSON leaf) {
        JSON value = std::move(leaf);
        for (int i = 0; i < depth; ++i) {
            JSON::Array children;
            children.push_back(std::move(value));
            JSON::Object node;
            node.emplace("name", JSON("n"));
            node.emplace("children", JSON(std::move(children)));
            value = JSON(std::move(node));
        }
        return value;
    };
    const JSON good = JSON(JSON::Object{{"name", JSON("leaf")}});
    const JSON bad = JSON(JSON::Object{{"name", JSON(1)}});
    EXPECT_NO_THROW(tree.validate("Tree", nest(100, good)));
    EXPECT_THROW(tree.validate("Tree", nest(100, bad)), ContractError);
    // A value built deeper than any read value can be is refused, not walked off the stack.
    EXPECT_THROW(tree.validate("Tree", nest(2000, good)), ContractError);
}

TEST(ContractValidatorMatching, ConcurrentValidationsAgree) {
    const auto validator = withModel(R"({"type":"object","required":["id","at","link","name"],
        "properties":{"id":{"format":"uuid"},"at":{"format":"date-time"},"link":{"format":"uri"},
                      "name":{"pattern":"^[a-z]+$","maxLength":8}}})");
    const JSON good = JSON::parse(R"({"id":"123e4567-e89b-12d3-a456-426614174000",
        "at":"2026-01-02T03:04:05.678Z","link":"https://example.com","name":"velto"})");
    JSON bad = good;
    (*bad.object())["name"] = JSON("Velto");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                if (!accepts(validator, good) || accepts(validator, bad)) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}
