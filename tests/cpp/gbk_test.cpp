#include "protocol/gbk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "test_util.h"

using quillan::protocol::decode_gbk;
using quillan::protocol::decode_utf8;
using quillan::protocol::is_utf8;

namespace {

#include "protocol/gbk_table.inc"

using quillan::testing::Bytes;

std::string decode(const Bytes& bytes) { return decode_gbk(bytes); }

// UTF-8 of a list of code points, so expectations read as code points.
std::string u(std::initializer_list<char32_t> cps) {
    std::string out;
    for (char32_t cp : cps) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

constexpr char32_t R = 0xFFFD;

// The Standard's gb18030 decoder transcribed step by step: a handler with its three state bytes
// run over an input queue that restored bytes are pushed back onto. A second, independent
// reading of the algorithm, to check the decoder's shortcuts against.
std::string reference_gb18030(const Bytes& bytes) {
    std::deque<int> queue(bytes.begin(), bytes.end());
    constexpr int kEnd = -1;
    int first = 0, second = 0, third = 0;
    std::vector<char32_t> out;
    auto ranges = [](uint32_t pointer) -> char32_t {
        if ((pointer > 39419 && pointer < 189000) || pointer > 1237575) return 0;
        if (pointer == 7457) return 0xE7C7;
        size_t i = 0;
        for (size_t k = 0; k < std::size(kGbkRangePointer); ++k) {
            if (kGbkRangePointer[k] <= pointer) i = k;
        }
        return kGbkRangeCodePoint[i] + pointer - kGbkRangePointer[i];
    };
    for (;;) {
        int byte = kEnd;
        if (!queue.empty()) {
            byte = queue.front();
            queue.pop_front();
        }
        if (byte == kEnd) {
            if (first != 0 || second != 0 || third != 0) out.push_back(R);
            break;
        }
        if (third != 0) {
            if (byte < 0x30 || byte > 0x39) {
                queue.push_front(byte);
                queue.push_front(third);
                queue.push_front(second);
                first = second = third = 0;
                out.push_back(R);
                continue;
            }
            char32_t cp =
                ranges(static_cast<uint32_t>((first - 0x81) * 12600 + (second - 0x30) * 1260 +
                                             (third - 0x81) * 10 + byte - 0x30));
            first = second = third = 0;
            out.push_back(cp == 0 ? R : cp);
            continue;
        }
        if (second != 0) {
            if (byte >= 0x81 && byte <= 0xFE) {
                third = byte;
                continue;
            }
            queue.push_front(byte);
            queue.push_front(second);
            first = second = 0;
            out.push_back(R);
            continue;
        }
        if (first != 0) {
            if (byte >= 0x30 && byte <= 0x39) {
                second = byte;
                continue;
            }
            int leading = first;
            first = 0;
            char32_t cp = 0;
            int offset = byte < 0x7F ? 0x40 : 0x41;
            if ((byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFE)) {
                cp = kGbkTwoByte[(leading - 0x81) * 190 + (byte - offset)];
            }
            if (cp != 0) {
                out.push_back(cp);
                continue;
            }
            if (byte < 0x80) queue.push_front(byte);
            out.push_back(R);
            continue;
        }
        if (byte < 0x80) {
            out.push_back(static_cast<char32_t>(byte));
        } else if (byte == 0x80) {
            out.push_back(0x20AC);
        } else if (byte <= 0xFE) {
            first = byte;
        } else {
            out.push_back(R);
        }
    }
    std::string text;
    for (char32_t cp : out) text += u({cp});
    return text;
}

struct Case {
    Bytes bytes;
    std::string expected;
};

void expect_all(std::initializer_list<Case> cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(decode(c.bytes), c.expected) << testing::PrintToString(c.bytes);
    }
}

}  // namespace

TEST(Gbk, Sequences) {
    expect_all({
        {{}, ""},
        {{0x41, 0x00, 0x42}, std::string("A\0B", 3)},  // NULs are text like any other
        {{0x80}, u({0x20AC})},
        {{0xFF}, u({R})},
        // Two bytes, as the index file gives them; the corners of the table and both sides of
        // the 0x7F gap.
        {{0xB0, 0xA1}, u({0x554A})},
        {{0xA1, 0xA4}, u({0x00B7})},
        {{0xA2, 0xE3}, u({0x20AC})},
        {{0xA8, 0xBC}, u({0x1E3F})},
        {{0xFE, 0x51}, u({0xE816})},
        {{0x81, 0x40}, u({0x4E02})},
        {{0x81, 0x7E}, u({0x4E8A})},
        {{0x81, 0x80}, u({0x4E90})},
        {{0xFE, 0xFE}, u({0xE4C5})},
        {{0xD6, 0xD0, 0xCE, 0xC4, 0x41}, u({0x4E2D, 0x6587, 'A'})},
        // Four bytes: the ranges, pointer 7457 (the one exception to them), the end of the BMP
        // part at pointer 39419 and the gap after it, the supplementary planes up to 1237575.
        {{0x81, 0x30, 0x81, 0x30}, u({0x0080})},
        {{0x81, 0x35, 0xF4, 0x36}, u({0x1E3E})},
        {{0x81, 0x35, 0xF4, 0x37}, u({0xE7C7})},
        {{0x81, 0x35, 0xF4, 0x38}, u({0x1E40})},
        {{0x84, 0x31, 0xA4, 0x39}, u({0xFFFF})},
        {{0x84, 0x31, 0xA5, 0x30, 0x41}, u({R, 'A'})},  // consumed whole
        {{0x8F, 0x39, 0xFE, 0x39}, u({R})},
        {{0x90, 0x30, 0x81, 0x30}, u({0x10000})},
        {{0xE3, 0x32, 0x9A, 0x35}, u({0x10FFFF})},
        {{0xE3, 0x32, 0x9A, 0x36}, u({R})},
    });
}

TEST(Gbk, MalformedSequences) {
    expect_all({
        // An ASCII second byte ends the sequence and is read again; any other is swallowed.
        {{0x81, 0x7F}, u({R, 0x7F})},
        {{0x81, 0x3A}, u({R, ':'})},
        {{0x81, 0xFF, 0x41}, u({R, 'A'})},
        {{0xB0, 0xB0, 0xA1}, u({0x978D, R})},  // a lead byte taken as second byte
        // Third byte not a lead byte: the second and third are read again.
        {{0x81, 0x30, 0x41}, u({R, '0', 'A'})},
        {{0x81, 0x30, 0xFF, 0x30}, u({R, '0', R, '0'})},
        // Fourth byte not a digit: second, third and fourth are read again, so the third byte
        // starts a two-byte sequence with the fourth.
        {{0x81, 0x30, 0x81, 0x41}, u({R, '0', 0x4E04})},
        {{0x81, 0x30, 0x81, 0x81, 0x30, 0x81, 0x30}, u({R, '0', 0x4E96, '0', R})},
        // However much of a sequence the end cuts off, it is one error.
        {{0x41, 0x81}, u({'A', R})},
        {{0x81, 0x30}, u({R})},
        {{0xB0, 0xA1, 0x81, 0x30, 0x81}, u({0x554A, R})},
    });
}

TEST(Gbk, ByteOrderMarks) {
    expect_all({
        {{0xEF, 0xBB, 0xBF}, ""},
        {{0xEF, 0xBB, 0xBF, 0xE4, 0xBD, 0xA0, 0x41}, u({0x4F60, 'A'})},
        {{0xEF, 0xBB, 0xBF, 0xF0, 0x9F, 0x98, 0x80}, u({0x1F600})},
        // Two bytes of the UTF-8 mark are GBK text.
        {{0xEF, 0xBB}, u({0x9518})},
        {{0xFF, 0xFE}, ""},
        {{0xFF, 0xFE, 0x41, 0x00}, u({'A'})},
        {{0xFE, 0xFF, 0x00, 0x41}, u({'A'})},
        {{0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE}, u({0x1F600})},
        {{0xFE, 0xFF, 0xD8, 0x3D, 0xDE, 0x00}, u({0x1F600})},
        {{0xFF, 0xFE, 0x00, 0x00}, std::string("\0", 1)},
    });
}

TEST(Gbk, MalformedUtf8) {
    auto with_bom = [](std::initializer_list<uint8_t> rest) {
        Bytes b = {0xEF, 0xBB, 0xBF};
        for (uint8_t x : rest) b.push_back(x);
        return b;
    };
    expect_all({
        {with_bom({0xC3}), u({R})},
        {with_bom({0xC0, 0xAF}), u({R, R})},                    // overlong lead
        {with_bom({0xE0, 0x80, 0x80}), u({R, R, R})},           // below E0's lower boundary
        {with_bom({0xED, 0xA0, 0x80}), u({R, R, R})},           // a surrogate
        {with_bom({0xF4, 0x90, 0x80, 0x80}), u({R, R, R, R})},  // above U+10FFFF
        {with_bom({0xF0, 0x9F, 0x98}), u({R})},                 // cut at the end: one error
        {with_bom({0xF0, 0x9F, 0x41}), u({R, 'A'})},            // the breaking byte is read again
        {with_bom({0xE4, 0xBD, 0xE4, 0xBD, 0xA0}), u({R, 0x4F60})},
        {with_bom({0x80, 0xBF}), u({R, R})},
        {with_bom({0xF5, 0x80}), u({R, R})},
    });
}

TEST(Gbk, MalformedUtf16) {
    expect_all({
        {{0xFF, 0xFE, 0x41}, u({R})},  // odd byte
        {{0xFF, 0xFE, 0x41, 0x00, 0x42}, u({'A', R})},
        {{0xFF, 0xFE, 0x00, 0xDE}, u({R})},                   // trailing surrogate alone
        {{0xFF, 0xFE, 0x3D, 0xD8}, u({R})},                   // leading surrogate at the end
        {{0xFF, 0xFE, 0x3D, 0xD8, 0x41}, u({R})},             // ... and an odd byte: one error
        {{0xFF, 0xFE, 0x3D, 0xD8, 0x41, 0x00}, u({R, 'A'})},  // the next unit is read again
        {{0xFF, 0xFE, 0x3D, 0xD8, 0x3D, 0xD8, 0x00, 0xDE}, u({R, 0x1F600})},
        {{0xFE, 0xFF, 0xDE, 0x00, 0xD8, 0x3D}, u({R, R})},
    });
}

TEST(Gbk, AgreesWithTheStepByStepDecoder) {
    // Random inputs made of the bytes that matter to the state machine.
    const uint8_t interesting[] = {0x00, 0x30, 0x35, 0x39, 0x3A, 0x40, 0x41, 0x7E, 0x7F, 0x80,
                                   0x81, 0x84, 0x8F, 0x90, 0xA1, 0xB0, 0xE3, 0xF4, 0xFE, 0xFF};
    std::mt19937 rng(2024);
    for (int round = 0; round < 50000; ++round) {
        Bytes b(rng() % 12);
        for (auto& x : b) {
            x = rng() % 4 == 0 ? static_cast<uint8_t>(rng())
                               : interesting[rng() % std::size(interesting)];
        }
        // Keep byte order marks out: those inputs are not GBK.
        if (b.size() >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF)))
            continue;
        if (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) continue;
        ASSERT_EQ(decode(b), reference_gb18030(b)) << testing::PrintToString(b);
    }
}

TEST(Utf8, WellFormedExactlyWhenDecodingChangesNothing) {
    const uint8_t interesting[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                   0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    std::mt19937 rng(99);
    for (int round = 0; round < 50000; ++round) {
        Bytes b(rng() % 8);
        for (auto& x : b) x = interesting[rng() % std::size(interesting)];
        const std::string decoded = decode_utf8(b);
        ASSERT_EQ(is_utf8(b), decoded == std::string(b.begin(), b.end()))
            << testing::PrintToString(b);
    }
}
