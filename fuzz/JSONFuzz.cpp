// Reads arbitrary bytes as JSON; whatever is read must write, read back equal, and write to the
// same bytes again.
#include "CorvaneCore/JSON.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using corvane::JSON;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
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
        std::fprintf(stderr, "a read value could not be written: %s\n", error.what());
        std::abort();
    }
    JSON reread;
    try {
        reread = JSON::parse(written);
    } catch (const corvane::JSONReadError& error) {
        std::fprintf(stderr, "written text could not be read back: %s\n", error.what());
        std::abort();
    }
    if (!(reread == value)) {
        std::fprintf(stderr, "value changed through a write and read\n");
        std::abort();
    }
    if (reread.data() != written) {
        std::fprintf(stderr, "writing is not stable\n");
        std::abort();
    }
    return 0;
}
