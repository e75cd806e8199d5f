// Reads arbitrary bytes as JSON; whatever is read must write, read back equal, and write to the
// same bytes again. The first eight bytes also make a double, whose text must read back to the
// same bits in the notation JavaScript gives its magnitude.
#include "core/JSON.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

using corvane::JSON;

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
    std::abort();
}

void checkNumber(const std::uint8_t* data) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, data, sizeof bits);
    const double value = std::bit_cast<double>(bits);
    if (!std::isfinite(value)) {
        return;
    }
    const std::string text = JSON(value).data();
    double back = 0;
    try {
        back = *JSON::parse(text).number();
    } catch (const corvane::JSONReadError& error) {
        fail("a written number could not be read back", text + " " + error.what());
    }
    // Negative zero is written as 0.
    if (std::bit_cast<std::uint64_t>(back) !=
        std::bit_cast<std::uint64_t>(value == 0 ? 0.0 : value)) {
        fail("a number read back as another double", text);
    }
    const bool plain = value == 0 || (std::fabs(value) >= 1e-6 && std::fabs(value) < 1e21);
    if (plain == (text.find('e') != std::string::npos)) {
        fail("a number was written in the wrong notation", text);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= sizeof(double)) {
        checkNumber(data);
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    JSON value;
    try {
        value = JSON::parse(input);
    } catch (const corvane::JSONReadError&) {
        return 0;
    }
    std::string written;
    try {
        written = value.data();
    } catch (const corvane::JSONWriteError& error) {
        fail("a read value could not be written", error.what());
    }
    JSON reread;
    try {
        reread = JSON::parse(written);
    } catch (const corvane::JSONReadError& error) {
        fail("written text could not be read back", error.what());
    }
    if (!(reread == value)) {
        fail("value changed through a write and read", written);
    }
    if (reread.data() != written) {
        fail("writing is not stable", written);
    }
    return 0;
}
