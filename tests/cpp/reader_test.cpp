#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "reader/bars.h"
#include "test_util.h"

using namespace quillan;
using namespace quillan::reader;

namespace {

using Bytes = std::vector<uint8_t>;

void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}
void put_f32(Bytes& b, size_t at, float v) { put32(b, at, std::bit_cast<uint32_t>(v)); }

Record as_record(const Bytes& b) { return Record(b.data(), kRecordSize); }

// A daily record whose fields all differ: record i has date 20240000 + i and prices from i.
Bytes daily_record(uint32_t i) {
    Bytes b(kRecordSize, 0xEE);
    put32(b, 0, 20240000 + i);
    for (size_t f = 0; f < 4; ++f) put32(b, 4 + 4 * f, i * 10 + static_cast<uint32_t>(f));
    put_f32(b, 20, static_cast<float>(i) + 0.5f);
    put32(b, 24, i * 3);
    return b;
}

// A temporary directory, removed with what it holds.
class TempDir {
  public:
    TempDir() {
        char tmpl[] = "/tmp/reader_test.XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) std::abort();
        path_ = tmpl;
    }
    ~TempDir() {
        if (DIR* d = ::opendir(path_.c_str())) {
            while (dirent* e = ::readdir(d)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") ::unlink((path_ + "/" + name).c_str());
            }
            ::closedir(d);
        }
        ::rmdir(path_.c_str());
    }
    std::string file(const std::string& name, const Bytes& content) const {
        std::string p = path_ + "/" + name;
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 ||
            ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
            std::abort();
        }
        ::close(fd);
        return p;
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

Bytes daily_file(uint32_t records) {
    Bytes all;
    for (uint32_t i = 0; i < records; ++i) {
        Bytes r = daily_record(i);
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

int open_fd_count() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

}  // namespace

TEST(DailyRecord, FieldsAndCoefficients) {
    Bytes b(kRecordSize, 0xAA);  // the unused tail is never looked at
    put32(b, 0, 20240105);
    put32(b, 4, 35);
    put32(b, 8, 0xFFFFFFFF);
    put32(b, 12, 1);
    put32(b, 16, 2);
    put_f32(b, 20, 10.1f);
    put32(b, 24, 300);

    DailyBar bar = decode_daily_bar(as_record(b), 0.01, 0.5);
    EXPECT_EQ(bar.date, 20240105u);
    // One multiplication by the coefficient: 35 * 0.01, not 35 / 100.
    EXPECT_EQ(bar.open, 35 * 0.01);
    EXPECT_NE(bar.open, 0.35);
    EXPECT_EQ(bar.high, 4294967295.0 * 0.01);  // unsigned, never -1
    EXPECT_EQ(bar.low, 0.01);
    EXPECT_EQ(bar.close, 0.02);
    EXPECT_EQ(bar.amount, static_cast<double>(10.1f));  // widened, never scaled
    EXPECT_EQ(bar.volume, 150.0);

    DailyBar unit = decode_daily_bar(as_record(b), 1.0, 1.0);
    EXPECT_EQ(unit.open, 35.0);
    EXPECT_EQ(unit.high, 4294967295.0);
    EXPECT_EQ(unit.amount, bar.amount);
    EXPECT_EQ(unit.volume, 300.0);
}

TEST(MinuteRecord, Fields) {
    Bytes b(kRecordSize, 0xAA);
    b[0] = 0x69;
    b[1] = 0xA0;
    b[2] = 0x3B;
    b[3] = 0x02;
    put_f32(b, 4, 10.1f);
    put_f32(b, 8, -1.5f);
    put_f32(b, 12, 0.0f);
    put_f32(b, 16, 3e38f);
    put_f32(b, 20, 1e-45f);
    put32(b, 24, 0xFFFFFFFF);

    MinuteBar bar = decode_minute_bar(as_record(b));
    EXPECT_EQ(bar.date, 0xA069);
    EXPECT_EQ(bar.time, 571);
    EXPECT_EQ(bar.open, 10.100000381469727);
    EXPECT_EQ(bar.high, -1.5);
    EXPECT_EQ(bar.low, 0.0);
    EXPECT_EQ(bar.close, static_cast<double>(3e38f));
    EXPECT_EQ(bar.amount, static_cast<double>(1e-45f));
    EXPECT_EQ(bar.volume, 4294967295.0);
}

TEST(DateText, Daily) {
    struct Case {
        uint32_t date;
        const char* text;
    };
    for (Case c :
         {Case{20240105, "2024-01-05"}, Case{20240021, "2024-00-21"}, Case{0, "0-00-00"},
          Case{123, "0-01-23"}, Case{19991399, "1999-13-99"}, Case{0xFFFFFFFF, "429496-72-95"}}) {
        char out[kDailyDateMax];
        size_t n = format_daily_date(c.date, out);
        EXPECT_EQ(std::string(out, n), c.text) << c.date;
    }
}

TEST(DateText, Minute) {
    struct Case {
        uint16_t date, time;
        const char* text;
    };
    for (Case c : {Case{0xA069, 571, "2024-01-05 09:31"}, Case{0, 0, "2004-00-00 00:00"},
                   Case{0xFFFF, 65535, "2035-20-47 1092:15"},
                   // month 19, day 99: the widest text there is
                   Case{static_cast<uint16_t>(0xF800 | 1999), 65535, "2035-19-99 1092:15"},
                   Case{0x0800 | 1231, 599, "2005-12-31 09:59"}}) {
        char out[kMinuteDateTimeMax];
        size_t n = format_minute_datetime(c.date, c.time, out);
        EXPECT_EQ(std::string(out, n), c.text);
    }
}

class RecordFileTest : public ::testing::Test {
  protected:
    TempDir dir_;
};

TEST_F(RecordFileTest, WholeRecordsOnly) {
    for (size_t size : {0, 1, 31, 32, 33, 63, 64, 95}) {
        Bytes content = daily_file(3);
        content.resize(size);
        std::string path = dir_.file("f" + std::to_string(size), content);
        auto bars = read_daily_file(path, 1.0, 1.0);
        ASSERT_EQ(bars.size(), size / 32) << size;
        for (uint32_t i = 0; i < bars.size(); ++i) EXPECT_EQ(bars[i].date, 20240000 + i);
    }
}

TEST_F(RecordFileTest, ManyChunksInFileOrder) {
    const uint32_t n = 2048 * 3 + 7;  // several reads, the last one short
    std::string path = dir_.file("many.day", daily_file(n));
    auto bars = read_daily_file(path, 1.0, 1.0);
    ASSERT_EQ(bars.size(), n);
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(bars[i].date, 20240000 + i);
        ASSERT_EQ(bars[i].close, static_cast<double>(i * 10 + 3));
    }
    auto minutes = read_minute_file(path);  // any file is read as what it is asked to be
    EXPECT_EQ(minutes.size(), n);
}

TEST_F(RecordFileTest, FileShrinkingWhileReadEndsEarly) {
    const uint32_t n = 2048 * 3;
    std::string path = dir_.file("shrinks.day", daily_file(n));
    RecordFile file(path);
    EXPECT_EQ(file.record_count(), n);
    auto first = file.next();
    EXPECT_EQ(first.size(), 2048 * kRecordSize);

    // Cut in the middle of a record of the second chunk.
    ASSERT_EQ(::truncate(path.c_str(), (2048 + 100) * kRecordSize + 5), 0);
    auto second = file.next();
    EXPECT_EQ(second.size(), 100 * kRecordSize);
    DailyBar last = decode_daily_bar(Record(second.data() + 99 * kRecordSize, kRecordSize), 1, 1);
    EXPECT_EQ(last.date, 20240000 + 2048 + 99);
    EXPECT_TRUE(file.next().empty());
    EXPECT_TRUE(file.next().empty());
}

TEST_F(RecordFileTest, FileEmptiedAfterOpen) {
    std::string path = dir_.file("emptied.day", daily_file(10));
    RecordFile file(path);
    ASSERT_EQ(::truncate(path.c_str(), 0), 0);
    EXPECT_TRUE(file.next().empty());
}

TEST_F(RecordFileTest, GrowthAfterOpenIsNotRead) {
    std::string path = dir_.file("grows.day", daily_file(10));
    RecordFile file(path);
    dir_.file("grows.day", daily_file(20));
    EXPECT_EQ(file.next().size(), 10 * kRecordSize);
    EXPECT_TRUE(file.next().empty());
}

TEST_F(RecordFileTest, MissingPath) {
    std::string path = dir_.path() + "/missing.day";
    EXPECT_QUILLAN_ERROR(RecordFile{path}, ErrorKind::FileNotFound, "File not found: " + path);
    std::string dangling = dir_.path() + "/dangling";
    ASSERT_EQ(::symlink(path.c_str(), dangling.c_str()), 0);
    EXPECT_QUILLAN_ERROR(RecordFile{dangling}, ErrorKind::FileNotFound,
                         "File not found: " + dangling);
}

TEST_F(RecordFileTest, NulInPathIsNotCut) {
    std::string path = dir_.file("real.day", daily_file(1));
    std::string with_nul = path + std::string("\0.day", 5);
    EXPECT_QUILLAN_ERROR(RecordFile{with_nul}, ErrorKind::FileNotFound,
                         "File not found: " + with_nul);
}

TEST_F(RecordFileTest, UnmappableKindsFailAtTheMappingStep) {
    std::string fifo = dir_.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A FIFO without a writer must not block the open.
    for (const std::string& path : {dir_.path(), fifo, std::string("/proc/self/status")}) {
        EXPECT_QUILLAN_ERROR(RecordFile{path}, ErrorKind::FileAccess,
                             "Cannot mmap file: " + os_error_text(ENODEV));
    }
}

TEST_F(RecordFileTest, SocketFailsAtTheOpenStep) {
    std::string path = dir_.path() + "/sock";
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_QUILLAN_ERROR(RecordFile{path}, ErrorKind::FileAccess,
                         "Cannot open file: " + os_error_text(ENXIO));
    ::close(s);
}

TEST_F(RecordFileTest, NoDescriptorOutlivesACall) {
    std::string good = dir_.file("good.day", daily_file(5000));
    std::string missing = dir_.path() + "/missing";
    int before = open_fd_count();
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(read_daily_file(good, 1, 1).size(), 5000u);
        EXPECT_THROW(read_minute_file(missing), Error);
        EXPECT_THROW(read_minute_file(dir_.path()), Error);
    }
    EXPECT_EQ(open_fd_count(), before);
}
