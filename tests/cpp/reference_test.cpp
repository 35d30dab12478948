#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <random>
#include <string>
#include <vector>

#include "commands/company_info.h"
#include "commands/finance.h"
#include "commands/report_file.h"
#include "commands/xdxr.h"
#include "protocol/gbk.h"
#include "test_util.h"

using namespace quillan::net;
using namespace quillan::testing;
using namespace std::literals;

// Each decoder, given every prefix of a valid body, keeps exactly the whole records in it.

TEST(Xdxr, EveryCutKeepsTheWholeRecords) {
    Writer w;
    w.field("head", 9).u16(3);
    w.field("1600036", 8).u32(20240615).u8(1).f32(0.1f).f32(2).f32(3).f32(4);
    w.field("1600036", 8).u32(20240616).u8(12).u32(0).u32(0).f32(0.25f).u32(0);
    w.field("1600036", 8).u32(20240617).u8(7).u32(0x3F800000).u32(0).u32(0x41200000).u32(1);
    const auto whole = decode_xdxr(w.out);
    ASSERT_EQ(whole.size(), 3u);
    for (size_t n = 0; n <= w.out.size(); ++n) {
        const auto got = decode_xdxr(prefix(w.out, n));
        ASSERT_EQ(got.size(), n < 11 ? 0 : std::min<size_t>(3, (n - 11) / 29)) << "cut at " << n;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].day, whole[i].day);
            EXPECT_EQ(got[i].category, whole[i].category);
            EXPECT_EQ(got[i].values, whole[i].values);
        }
    }
}

TEST(Finance, EveryCutShorterThanTheRecordGivesNothing) {
    Writer w;
    w.field("head", 9).f32(0.1f).u16(44).u16(0xFFFF).u32(20240615).u32(19990101);
    for (int k = 0; k < 29; ++k) w.f32(0.1f);
    w.field("extra", 7);
    const auto whole = decode_finance(w.out);
    ASSERT_TRUE(whole);
    // Widened first, then scaled in double precision (in single precision it would be 1000).
    EXPECT_EQ(whole->liutongguben, 1000.0000149011612);
    EXPECT_EQ(whole->figures[11], static_cast<double>(0.1f));  // shareholders: unscaled
    EXPECT_EQ(whole->figures[28], static_cast<double>(0.1f));  // net assets per share
    for (size_t n = 0; n <= w.out.size(); ++n) {
        const auto got = decode_finance(prefix(w.out, n));
        ASSERT_EQ(got.has_value(), n >= 141) << "cut at " << n;
        if (got) {
            EXPECT_EQ(got->figures, whole->figures);
        }
    }
}

TEST(CompanyInfoCategory, EveryCutKeepsTheWholeEntries) {
    Writer w;
    w.u16(3);
    w.field("\xB0\xA1\0junk"sv, 64).field(std::string(80, 'f'), 80).u32(0xFFFFFFFF).u32(2);
    w.field(std::string(64, 'A'), 64).field("y.txt\0junk"sv, 80).u32(3).u32(4);
    w.field("", 64).field("\xC3\x28", 80).u32(5).u32(6);
    const auto whole = decode_company_info_category(w.out);
    ASSERT_EQ(whole.size(), 3u);
    for (size_t n = 0; n <= w.out.size(); ++n) {
        const auto got = decode_company_info_category(prefix(w.out, n));
        ASSERT_EQ(got.size(), n < 2 ? 0 : std::min<size_t>(3, (n - 2) / 152)) << "cut at " << n;
        for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].length, whole[i].length);
    }
}

TEST(CompanyInfoContent, EveryCutKeepsTheTextThatArrived) {
    Writer w;
    w.field("head", 10).u16(8).field("\xC4\xE3\xBA\xC3\0BCDEFGH"sv, 12);
    ASSERT_EQ(decode_company_info_content(w.out), "你好\0BCD"sv);
    for (size_t n = 0; n <= w.out.size(); ++n) {
        const size_t text = n < 12 ? 0 : std::min<size_t>(8, n - 12);
        EXPECT_EQ(decode_company_info_content(prefix(w.out, n)),
                  quillan::protocol::decode_gbk(std::span(w.out).subspan(12, text)))
            << "cut at " << n;
    }
}

TEST(ReportFile, EveryCut) {
    Writer w;
    w.u32(10000).field("abcdef", 6);
    for (size_t n = 0; n <= w.out.size(); ++n) {
        const ReportPiece piece = decode_report_file(prefix(w.out, n));
        EXPECT_EQ(piece.chunk_size, n < 4 ? 0u : 10000u) << "cut at " << n;
        EXPECT_EQ(piece.data, n < 4 ? Bytes{} : Bytes(w.out.begin() + 4, w.out.begin() + n));
    }
}

// Arbitrary bytes, the counts often pushed to their maximum, must never make a decoder read
// outside the body (the sanitizer build checks) nor yield more than the body can hold.
TEST(ReferenceDecoders, RandomBodies) {
    std::mt19937 rng(20240615);
    for (int round = 0; round < 20000; ++round) {
        const size_t len = rng() % 3 == 0 ? rng() % 32 : rng() % 700;
        Bytes body(len);
        for (auto& b : body) b = static_cast<uint8_t>(rng());
        for (size_t at : {0, 9, 10}) {  // the counts of the index, the records, the text
            if (at + 1 < len && rng() % 2) body[at] = body[at + 1] = 0xFF;
        }
        EXPECT_LE(decode_xdxr(body).size(), len < 11 ? 0 : (len - 11) / 29);
        EXPECT_EQ(decode_finance(body).has_value(), len >= 141);
        EXPECT_LE(decode_company_info_category(body).size(), len < 2 ? 0 : (len - 2) / 152);
        EXPECT_LE(decode_company_info_content(body).size(), 3 * len);  // U+FFFD is 3 bytes
        EXPECT_EQ(decode_report_file(body).data.size(), len < 4 ? 0 : len - 4);
    }
}
