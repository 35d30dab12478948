// What reading bar files with pread costs against decoding them straight from a mapping.
//
//     cmake -S . -B build/bench -DQUILLAN_BENCH=ON -DPython_EXECUTABLE=$PWD/.venv/bin/python
//     cmake --build build/bench -j2 --target read_cost && build/bench/read_cost
//
// For daily and minute files of 8,000 and 250,000 records, prints the best time per record of
// the core's readers (stat, open, the mapping check, pread in chunks, decoding into structs)
// and of the same steps decoding from a shared read-only mapping instead (the design that a
// file shrinking under the reader turns into SIGBUS). Neither builds any Python object; the
// module's own figure per record comes from bench/bench_files.py.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "reader/bars.h"

using namespace quillan::reader;

namespace {

// The mapping design: map the whole file, decode each record in place, unmap.
template <class Bar, class Decode>
std::vector<Bar> read_mapped(const std::string& path, Decode decode) {
    struct stat meta;
    if (::stat(path.c_str(), &meta) != 0) std::abort();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &meta) != 0) std::abort();
    size_t size = static_cast<size_t>(meta.st_size);
    void* map = ::mmap(nullptr, std::max<size_t>(size, 1), PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) std::abort();
    const auto* bytes = static_cast<const uint8_t*>(map);
    std::vector<Bar> bars;
    bars.reserve(size / kRecordSize);
    for (size_t pos = 0; pos + kRecordSize <= size; pos += kRecordSize) {
        bars.push_back(decode(Record(bytes + pos, kRecordSize)));
    }
    ::munmap(map, std::max<size_t>(size, 1));
    ::close(fd);
    return bars;
}

template <class Fn>
double best_ns_per_record(Fn fn, size_t records) {
    double best = 1e300;
    for (int run = 0; run < 25; ++run) {
        auto start = std::chrono::steady_clock::now();
        auto bars = fn();
        auto ns =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start);
        if (bars.size() != records) std::abort();
        best = std::min(best, ns.count());
    }
    return best / static_cast<double>(records);
}

void write_file(const std::string& path, size_t records, std::mt19937& rng) {
    std::vector<uint8_t> data(records * kRecordSize);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data.data(), 1, data.size(), f) != data.size()) std::abort();
    std::fclose(f);
}

}  // namespace

int main() {
    char dir[] = "/tmp/read_cost.XXXXXX";
    if (::mkdtemp(dir) == nullptr) return 1;
    std::mt19937 rng(20240105);

    std::printf("best of 25 runs, ns per record (no Python objects)\n");
    std::printf("%-16s%10s%10s%12s\n", "file", "pread", "mapped", "difference");
    for (size_t records : {size_t{8000}, size_t{250000}}) {
        std::string path = std::string(dir) + "/bars-" + std::to_string(records);
        write_file(path, records, rng);

        double daily =
            best_ns_per_record([&] { return read_daily_file(path, 0.01, 0.01); }, records);
        double daily_mapped = best_ns_per_record(
            [&] {
                return read_mapped<DailyBar>(
                    path, [](Record rec) { return decode_daily_bar(rec, 0.01, 0.01); });
            },
            records);
        double minute = best_ns_per_record([&] { return read_minute_file(path); }, records);
        double minute_mapped = best_ns_per_record(
            [&] { return read_mapped<MinuteBar>(path, decode_minute_bar); }, records);

        std::printf("%-16s%10.2f%10.2f%+12.2f\n", ("daily " + std::to_string(records)).c_str(),
                    daily, daily_mapped, daily - daily_mapped);
        std::printf("%-16s%10.2f%10.2f%+12.2f\n", ("minute " + std::to_string(records)).c_str(),
                    minute, minute_mapped, minute - minute_mapped);
        ::unlink(path.c_str());
    }
    ::rmdir(dir);
    return 0;
}
