#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "reader/bars.h"
#include "test_util.h"

using namespace quillan::reader;

namespace {

using quillan::testing::Bytes;

void put32(Bytes& b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// Record i of a test file: date 20240000 + i, close i, the other fields fixed.
Bytes daily_records(uint32_t count) {
    Bytes all(count * kRecordSize, 0xEE);
    for (uint32_t i = 0; i < count; ++i) {
        size_t at = i * kRecordSize;
        put32(all, at, 20240000 + i);
        put32(all, at + 16, i);
    }
    return all;
}

// A temporary file holding `content`, removed at the end of the test.
struct TempFile {
    std::string path = "/tmp/reader_test.XXXXXX";
    explicit TempFile(const Bytes& content) {
        int fd = ::mkstemp(path.data());
        if (fd < 0 ||
            ::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
            std::abort();
        }
        ::close(fd);
    }
    ~TempFile() { ::unlink(path.c_str()); }
};

}  // namespace

TEST(RecordFile, ReadsEveryChunkInOrder) {
    const uint32_t n = 2048 * 3 + 7;  // several reads, the last one short
    Bytes content = daily_records(n);
    content.resize(content.size() + 31);  // a trailing piece of a record
    TempFile file(content);
    auto bars = read_daily_file(file.path, 1.0, 1.0);
    ASSERT_EQ(bars.size(), n);
    for (uint32_t i = 0; i < n; ++i) {
        ASSERT_EQ(bars[i].date, 20240000 + i);
        ASSERT_EQ(bars[i].close, i);
    }
}

TEST(RecordFile, FileShrinkingWhileReadEndsEarly) {
    TempFile file(daily_records(2048 * 3));
    RecordFile reader(file.path);
    EXPECT_EQ(reader.record_count(), 2048u * 3);
    EXPECT_EQ(reader.next().size(), 2048 * kRecordSize);

    // Cut inside a record of the second chunk: the records before the cut are delivered.
    ASSERT_EQ(::truncate(file.path.c_str(), (2048 + 100) * kRecordSize + 5), 0);
    auto second = reader.next();
    ASSERT_EQ(second.size(), 100 * kRecordSize);
    DailyBar last = decode_daily_bar(Record(second.data() + 99 * kRecordSize, kRecordSize), 1, 1);
    EXPECT_EQ(last.date, 20240000u + 2048 + 99);
    EXPECT_TRUE(reader.next().empty());

    // Growth after the open is not read either.
    ASSERT_EQ(::truncate(file.path.c_str(), 2048 * 4 * kRecordSize), 0);
    EXPECT_TRUE(reader.next().empty());
}
