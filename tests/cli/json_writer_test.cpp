// The streamed JSON against nlohmann-json: the same bytes for every string, valid UTF-8 or
// not, and for documents of every kind of value.

#include "cli/json_writer.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <random>

namespace trevik {
namespace {

using Json = nlohmann::ordered_json;

std::string Reference(const std::string& s) {
    return Json(s).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Streamed(const std::string& s) {
    std::string out;
    cli::AppendJsonString(out, s);
    return out;
}

TEST(JsonWriter, EveryOneAndTwoByteStringIsEscapedAsNlohmannDoes) {
    for (int a = 0; a < 256; ++a) {
        const std::string one(1, static_cast<char>(a));
        ASSERT_EQ(Streamed(one), Reference(one)) << a;
        for (int b = 0; b < 256; ++b) {
            const std::string two{static_cast<char>(a), static_cast<char>(b)};
            ASSERT_EQ(Streamed(two), Reference(two)) << a << " " << b;
        }
    }
}

// Plain text is scanned eight bytes at a time: every byte at every place of a long run of
// plain text, and pairs that straddle two words, must still be seen.
TEST(JsonWriter, EveryByteAnywhereInALongPlainRunIsEscapedAsNlohmannDoes) {
    const std::string plain = "abcdefghijklmnopqrstuvwxyz0123";
    for (int a = 0; a < 256; ++a) {
        for (size_t at = 0; at < plain.size(); ++at) {
            std::string s = plain;
            s[at] = static_cast<char>(a);
            ASSERT_EQ(Streamed(s), Reference(s)) << a << " at " << at;
            if (at + 1 < s.size()) {
                s[at + 1] = static_cast<char>(0xA9); // after 0xC2: a two-byte sequence
                ASSERT_EQ(Streamed(s), Reference(s)) << a << " at " << at << " +A9";
            }
        }
    }
}

TEST(JsonWriter, RandomBytesNearTheUtf8BoundariesAreEscapedAsNlohmannDoes) {
    // Bytes drawn mostly from those that begin, continue or break multi-byte sequences:
    // overlong forms, surrogates, code points past U+10FFFF, sequences cut short.
    const unsigned char pool[] = {'a',  '"',  '\\', 0x00, 0x1f, 0x7f, 0x80, 0x8f, 0x90, 0x9f,
                                  0xa0, 0xbf, 0xc0, 0xc1, 0xc2, 0xdf, 0xe0, 0xe1, 0xec, 0xed,
                                  0xee, 0xef, 0xf0, 0xf1, 0xf3, 0xf4, 0xf5, 0xff, '\n', '/'};
    std::mt19937 rng(12345);
    std::uniform_int_distribution<size_t> pick(0, sizeof pool - 1);
    std::uniform_int_distribution<size_t> length(0, 12);
    for (int i = 0; i < 200000; ++i) {
        std::string s(length(rng), '\0');
        for (char& c : s)
            c = static_cast<char>(pool[pick(rng)]);
        ASSERT_EQ(Streamed(s), Reference(s)) << ::testing::PrintToString(s);
    }
    const std::string text = "Grüße – 日本語 🎉 \t\"q\" \\ end";
    EXPECT_EQ(Streamed(text), Reference(text));
}

TEST(JsonWriter, ADocumentOfEveryKindOfValueMatchesTheBuiltOne) {
    char* data = nullptr;
    size_t size = 0;
    std::FILE* f = open_memstream(&data, &size);
    {
        cli::JsonWriter w(f);
        w.BeginObject();
        w.Key("entries");
        w.BeginArray();
        for (int i = 0; i < 3000; ++i) { // past the writer's buffer
            w.BeginObject();
            w.Member("path", "/a/b\x01" + std::to_string(i));
            w.Member("size", uint64_t{1} << 40);
            w.Member("mtime", int32_t{-5});
            w.Member("damaged", i % 2 == 0);
            w.Key("empty");
            w.BeginArray();
            w.EndArray();
            w.EndObject();
        }
        w.EndArray();
        w.Key("warnings");
        w.RawValue(R"([{"kind":"x"}])");
        w.Member("stopped", false);
        w.EndObject();
        w.EndLine();
    }
    std::fclose(f);
    const std::string streamed(data, size);
    std::free(data);

    Json doc;
    doc["entries"] = Json::array();
    for (int i = 0; i < 3000; ++i) {
        doc["entries"].push_back({{"path", "/a/b\x01" + std::to_string(i)},
                                  {"size", uint64_t{1} << 40},
                                  {"mtime", int32_t{-5}},
                                  {"damaged", i % 2 == 0},
                                  {"empty", Json::array()}});
    }
    doc["warnings"] = Json::parse(R"([{"kind":"x"}])");
    doc["stopped"] = false;
    EXPECT_EQ(streamed, doc.dump() + "\n");
}

} // namespace
} // namespace trevik
