#include "columns/arrow.h"

#include <gtest/gtest.h>

#include <string>

#include "base/error.h"
#include "columns/column.h"

using namespace quillan::columns;

namespace {

// Counts the keepers alive, to see when a release lets go of the memory.
int alive = 0;
struct CountingKeeper : Keeper {
    CountingKeeper() { ++alive; }
    ~CountingKeeper() override { --alive; }
};

std::vector<ExportColumn> two_columns() {
    static const double values[] = {1.5, 2.5, 3.5};
    static const int64_t times[] = {0, kNotATime, 86400};
    std::vector<ExportColumn> out(2);
    out[0].name = std::string("close");
    out[0].format = std::string("g");
    out[0].length = 3;
    out[0].buffers = {nullptr, values};
    out[0].keepers.push_back(std::make_unique<CountingKeeper>());
    out[1].name = std::string("datetime");
    out[1].format = std::string("tss:");
    out[1].length = 3;
    auto validity = validity_of(times, 3, kNotATime, out[1].null_count);
    const void* valid = out[1].keep(std::move(validity));
    out[1].buffers = {valid, times};
    out[1].keepers.push_back(std::make_unique<CountingKeeper>());
    return out;
}

}  // namespace

TEST(ArrowExport, StreamYieldsOneBatchThenEnds) {
    ArrowArrayStream stream;
    export_stream(two_columns(), &stream);
    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    EXPECT_EQ(batch.length, 3);
    ASSERT_EQ(batch.n_children, 2);
    EXPECT_EQ(batch.children[1]->null_count, 1);
    EXPECT_EQ(static_cast<const uint8_t*>(batch.children[1]->buffers[0])[0], 0b101);
    ArrowArray end;
    ASSERT_EQ(stream.get_next(&stream, &end), 0);
    EXPECT_EQ(end.release, nullptr);

    // The schema is there after the batch was taken, too.
    ArrowSchema schema;
    ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
    ASSERT_EQ(schema.n_children, 2);
    EXPECT_EQ(std::string(schema.format), "+s");
    EXPECT_EQ(std::string(schema.children[1]->name), "datetime");
    EXPECT_EQ(std::string(schema.children[1]->format), "tss:");
    EXPECT_EQ(schema.children[1]->flags, ARROW_FLAG_NULLABLE);
    schema.release(&schema);
    EXPECT_EQ(schema.release, nullptr);

    // The stream no longer owns the columns: the batch does, until it is released.
    stream.release(&stream);
    EXPECT_EQ(alive, 2);
    batch.release(&batch);
    EXPECT_EQ(alive, 0);
}

TEST(ArrowExport, ReleasesWhatTheConsumerLeaves) {
    {
        ArrowArrayStream stream;
        export_stream(two_columns(), &stream);
        stream.release(&stream);  // never read
        EXPECT_EQ(alive, 0);
    }
    ArrowArrayStream stream;
    export_stream(two_columns(), &stream);
    ArrowArray batch;
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    stream.release(&stream);
    // A consumer that moves a child out releases it on its own; the parent skips it.
    ArrowArray moved = *batch.children[0];
    batch.children[0]->release = nullptr;
    batch.release(&batch);
    EXPECT_EQ(alive, 1);
    moved.release(&moved);
    EXPECT_EQ(alive, 0);
}

TEST(ArrowExport, Conversions) {
    const uint8_t bools[] = {1, 0, 0, 1, 0, 0, 0, 0, 2};
    EXPECT_EQ(pack_bits(bools, 9), (std::vector<uint8_t>{0b1001, 0b1}));
    const int64_t days[] = {-1, kNotATime, 2147483647};
    EXPECT_EQ(narrow_days(days, 3, kNotATime, "d"), (std::vector<int32_t>{-1, 0, 2147483647}));
    const int64_t far[] = {2147483648};
    EXPECT_THROW(narrow_days(far, 1, kNotATime, "d"), quillan::Error);
    int64_t nulls = -1;
    EXPECT_TRUE(validity_of(days, 1, kNotATime, nulls).empty());
    EXPECT_EQ(nulls, 0);
}
