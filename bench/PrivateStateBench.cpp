// Cost of the private state files: a forensic-log append at the 10 MiB limit next to the floor
// of writing and syncing 10 MiB in the same directory, the memory a log at the limit holds
// between appends, and a dedup reservation in a full ledger.

#include "core/DedupLedger.h"
#include "core/JSON.h"
#include "core/LocalForensicLog.h"
#include "core/PrivateFile.h"
#include "core/Uuid.h"
#include "core/WireTime.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

using namespace corvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const WireTime::Instant start = *WireTime::parse("2026-06-01T12:00:00.000Z");

JSON command(std::size_t i) {
    static const std::array<std::pair<const char*, const char*>, 4> kinds{{
        {"open_app", R"({"bundle_id":"com.apple.Safari"})"},
        {"set_volume", R"({"level":35})"},
        {"open_url", R"({"url":"https://example.com/articles/2026/06/a-long-path?ref=dashboard"})"},
        {"run_shortcut", R"({"name":"Morning routine","input":"Good morning from the relay"})"},
    }};
    const auto& [action, params] = kinds[i % kinds.size()];
    return JSON(JSON::Object{{"command_id", JSON(Uuid::make())},
                             {"action", JSON(action)},
                             {"params", JSON::parse(params)}});
}

// A log just over the limit, as a busy Mac would have after weeks of use: "received" and
// "succeeded" lines, one second apart, ending shortly before `start`.
std::string fullLog() {
    std::string content;
    std::vector<std::string> lines;
    std::size_t size = 0;
    for (std::size_t i = 0; size <= LocalForensicLog::maxBytes; ++i) {
        JSON record = command(i / 2);
        record.object()->emplace("outcome", JSON(i % 2 == 0 ? "received" : "succeeded"));
        lines.push_back(record.data());
        size += lines.back().size() + 1;
    }
    const std::size_t count = lines.size();
    for (std::size_t i = 0; i < count; ++i) {
        std::string& line = lines[i];
        const std::string at = WireTime::text(start - std::chrono::seconds(count - i));
        line.insert(line.size() - 1, ",\"created_at\":\"" + at + "\"");
        content += line;
        content += '\n';
    }
    return content;
}

void writeRaw(const fs::path& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("open");
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            throw std::runtime_error("write");
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        throw std::runtime_error("fsync");
    }
}

// The floor: 10 MiB written and synced in place, no temporary file, no rename.
void BM_Floor_WriteAndSync10MiB(benchmark::State& state) {
    QTemporaryDir temporary;
    const fs::path file = fs::path(temporary.path().toStdString()) / "floor.bin";
    const std::string data(LocalForensicLog::maxBytes, 'x');
    for (auto _ : state) {
        writeRaw(file, data);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// PrivateFile alone: the floor plus temporary file, rename and directory sync.
void BM_PrivateFileWrite10MiB(benchmark::State& state) {
    QTemporaryDir temporary;
    const fs::path file = fs::path(temporary.path().toStdString()) / "private.bin";
    const std::string data(LocalForensicLog::maxBytes, 'x');
    for (auto _ : state) {
        PrivateFile::write(data, file);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// One append to a log at the limit by the long-lived log of the agent: after its first append it
// knows the file and needs neither to read nor to re-validate it.
void BM_LogAppendAtLimit(benchmark::State& state) {
    QTemporaryDir temporary;
    const fs::path file = fs::path(temporary.path().toStdString()) / "commands.jsonl";
    writeRaw(file, fullLog());
    LocalForensicLog log(file);
    std::size_t i = 0;
    log.append(command(i), "received", start);
    for (auto _ : state) {
        ++i;
        log.append(command(i), i % 2 == 0 ? "received" : "succeeded",
                   start + std::chrono::milliseconds(i));
    }
}

// The same append where the file system cannot copy in the kernel: kept bytes go through a buffer.
void BM_LogAppendAtLimitThroughBuffer(benchmark::State& state) {
    QTemporaryDir temporary;
    const fs::path file = fs::path(temporary.path().toStdString()) / "commands.jsonl";
    writeRaw(file, fullLog());
    LocalForensicLog::Calls calls = LocalForensicLog::Calls::system();
    calls.file.copy_file_range = [](int, off_t*, int, off_t*, std::size_t, unsigned) {
        errno = ENOSYS;
        return ssize_t{-1};
    };
    LocalForensicLog log(file, calls);
    std::size_t i = 0;
    log.append(command(i), "received", start);
    for (auto _ : state) {
        ++i;
        log.append(command(i), i % 2 == 0 ? "received" : "succeeded",
                   start + std::chrono::milliseconds(i));
    }
}

// The same append by a fresh log each time: the whole file is read and validated first, as
// after a change by someone else.
void BM_LogAppendAtLimitAfterOutsideChange(benchmark::State& state) {
    QTemporaryDir temporary;
    const fs::path file = fs::path(temporary.path().toStdString()) / "commands.jsonl";
    writeRaw(file, fullLog());
    std::size_t i = 0;
    for (auto _ : state) {
        ++i;
        LocalForensicLog log(file);
        log.append(command(i), "received", start + std::chrono::milliseconds(i));
    }
}

// What a log at the limit keeps on the heap between appends, after the first append (which reads
// the file) and after a further one (which copies from it).
void BM_LogHeldMemoryAtLimit(benchmark::State& state) {
    QTemporaryDir temporary;
    const fs::path file = fs::path(temporary.path().toStdString()) / "commands.jsonl";
    writeRaw(file, fullLog());
    // Large blocks are mapped apart from the heap: count both.
    const auto inUse = [] {
        const struct mallinfo2 info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    double afterFirst = 0;
    double afterSecond = 0;
    for (auto _ : state) {
        const std::size_t before = inUse();
        LocalForensicLog log(file);
        log.append(command(0), "received", start);
        afterFirst = static_cast<double>(inUse() - before);
        log.append(command(1), "succeeded", start + 1ms);
        afterSecond = static_cast<double>(inUse() - before);
    }
    // The lines kept at the limit, each remembered.
    std::ifstream in(file, std::ios::binary);
    const auto lines = static_cast<double>(
        std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
    state.counters["held_after_read"] = afterFirst;
    state.counters["held_after_copy"] = afterSecond;
    state.counters["held_per_line"] = afterSecond / lines;
    state.counters["lines"] = lines;
}

std::string idNumber(std::size_t i) {
    char text[37];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012zu", i);
    return text;
}

// A reservation in a ledger holding 10000 ids, all inside the window.
void BM_DedupReserveFullLedger(benchmark::State& state) {
    QTemporaryDir temporary;
    const fs::path file = fs::path(temporary.path().toStdString()) / "dedup.json";
    DedupLedger ledger(file);
    JSON::Array items;
    for (std::size_t i = 0; i < DedupLedger::maxEntries; ++i) {
        items.emplace_back(JSON::Object{
            {"id", JSON(idNumber(i))},
            {"at", JSON(DedupLedger::referenceSeconds(start - 300s) + 0.001 * double(i))}});
    }
    writeRaw(file, JSON(std::move(items)).data());
    DedupLedger full(file);
    std::size_t i = DedupLedger::maxEntries;
    for (auto _ : state) {
        full.reserve(idNumber(i), start + std::chrono::microseconds(i));
        ++i;
    }
}

BENCHMARK(BM_Floor_WriteAndSync10MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PrivateFileWrite10MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LogAppendAtLimit)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LogAppendAtLimitThroughBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LogAppendAtLimitAfterOutsideChange)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LogHeldMemoryAtLimit)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_DedupReserveFullLedger)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
