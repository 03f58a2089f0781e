// The timeline without a module: what the ring's producer marks, the
// splitter hands out (indices, settings per row, averaging windows), and
// what the recording's sidecar carries and refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "device/device.h"
#include "kr2270c.h"
#include "recording/json.h"
#include "recording/sidecar.h"

namespace kr2270 {
namespace {

// Channel 1 alone, 4-byte codes: every group's code is its own index, so a
// group that lands at the wrong index shows.
Settings OneChannel(std::uint8_t range_code, double span) {
  Settings s;
  for (auto& enabled : s.ad_enabled) enabled = 0;
  s.ad_enabled[0] = 1;
  s.ad_range[0] = range_code;
  s.ad_span[0] = span;
  return s;
}

struct Stream {
  Device* device = KR2270_DeviceCreate();
  Settings ten_volts = OneChannel(0, 10.0);
  Settings five_volts = OneChannel(1, 5.0);

  explicit Stream(std::int32_t times = 0) {
    device->stream_settings = ten_volts;
    device->settings = ten_volts;
    device->filter_times = times;
    ResetStreamPositions(device, ten_volts);
  }
  ~Stream() { KR2270_DeviceClose(device); }

  // Puts the groups of indices first .. first + count - 1, converting with
  // settings number `number`.
  void Put(std::uint64_t first, std::uint64_t count, std::uint64_t number) {
    std::vector<std::uint8_t> bytes;
    for (std::uint64_t i = first; i < first + count; ++i) {
      const auto code = static_cast<std::uint32_t>(i & 0xFFFFFF);
      for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<std::uint8_t>(code >> (8 * b)));
    }
    const Settings& settings = number == 0 ? ten_volts : five_volts;
    ASSERT_EQ(PutGroupsAt(device, bytes.data(), count, 4, first, number, settings), 0u);
  }

  struct Split {
    std::vector<std::uint64_t> indices;
    std::vector<std::int32_t> codes;
    std::vector<double> values;
  };

  Split Take(std::int32_t n) {
    Split out;
    const std::int32_t k = KR2270_HcCodeSplit(device, n);
    if (k <= 0) return out;
    out.indices.resize(static_cast<std::size_t>(k));
    out.codes.resize(static_cast<std::size_t>(k));
    out.values.resize(static_cast<std::size_t>(k));
    EXPECT_EQ(KR2270_HcCodeGetIndex(device, out.indices.data()), k);
    EXPECT_EQ(KR2270_HcCodeGetAd(device, 1, out.codes.data()), k);
    std::vector<std::int32_t> converted = out.codes;
    EXPECT_EQ(KR2270_HcAdCodeToValue(device, 1, converted.data(), k, out.values.data()), 0);
    return out;
  }
};

// The value a code has in a range of `span` volts with the default pair.
double VoltsOf(std::int32_t code, double span) {
  return static_cast<double>(code - 4194303) * span / (8388607 - 4194303);
}

TEST(TimelineSplit, EveryGroupCarriesItsIndexAndConvertsWithItsSettings) {
  for (std::int32_t chunk : {1, 7, 50, 1000}) {
    SCOPED_TRACE("splits of " + std::to_string(chunk));
    Stream stream;
    stream.Put(0, 100, 0);
    stream.Put(130, 70, 0);   // 30 missing before
    stream.Put(200, 60, 1);   // a range change at 200
    stream.Put(300, 10, 1);   // 40 missing, same range
    std::vector<std::uint64_t> indices;
    for (;;) {
      const Stream::Split split = stream.Take(chunk);
      if (split.indices.empty()) break;
      for (std::size_t i = 0; i < split.indices.size(); ++i) {
        const std::uint64_t index = split.indices[i];
        ASSERT_EQ(static_cast<std::uint64_t>(split.codes[i]), index) << "group moved in time";
        const double span = index >= 200 ? 5.0 : 10.0;
        ASSERT_DOUBLE_EQ(split.values[i], VoltsOf(split.codes[i], span)) << "at index " << index;
      }
      indices.insert(indices.end(), split.indices.begin(), split.indices.end());
    }
    ASSERT_EQ(indices.size(), 240u);
    EXPECT_EQ(indices[99], 99u);
    EXPECT_EQ(indices[100], 130u);
    EXPECT_EQ(indices.back(), 309u);
  }
}

TEST(TimelineSplit, AReplayThatJumpsBackIsPositionedToo) {
  Stream stream;
  stream.Put(500, 10, 0);
  stream.Put(20, 10, 1);  // a read from an earlier place of a recording
  const Stream::Split split = stream.Take(100);
  ASSERT_EQ(split.indices.size(), 20u);
  EXPECT_EQ(split.indices[9], 509u);
  EXPECT_EQ(split.indices[10], 20u);
  EXPECT_DOUBLE_EQ(split.values[10], VoltsOf(20, 5.0));
}

TEST(TimelineAveraging, WindowsAlignToTheIndexAndNeverReachAcrossAGapOrAChange) {
  Stream stream(4);
  stream.Put(0, 10, 0);    // windows 0-3, 4-7; 8, 9 cut by the gap
  stream.Put(13, 7, 0);    // 13-15 before the window at 16; 16-19
  stream.Put(20, 11, 1);   // new range: 20-23, 24-27; 28-30 wait for 31
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(stream.device), 5);
  EXPECT_EQ(stream.Take(6).indices.size(), 0u) << "all or nothing";
  const Stream::Split split = stream.Take(5);
  ASSERT_EQ(split.indices, (std::vector<std::uint64_t>{0, 4, 16, 20, 24}));
  // Each output is the mean of its window's codes, which are its indices.
  for (std::size_t m = 0; m < 5; ++m) {
    const auto mean = static_cast<std::int32_t>((4 * split.indices[m] + 6) / 4);
    EXPECT_EQ(split.codes[m], mean) << m;
    EXPECT_DOUBLE_EQ(split.values[m], VoltsOf(mean, m >= 3 ? 5.0 : 10.0)) << m;
  }
  KR2270Timeline timeline{};
  timeline.struct_size = sizeof timeline;
  ASSERT_EQ(KR2270_HcGetTimeline(stream.device, &timeline), 0);
  EXPECT_EQ(timeline.averaging_dropped, 5u);  // 8, 9 and 13, 14, 15
  EXPECT_EQ(timeline.averaging, 4);
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(stream.device), 0);
  stream.Put(31, 2, 1);
  EXPECT_EQ(KR2270_HcCodeCanReadGroupCount(stream.device), 1);
  EXPECT_EQ(stream.Take(1).indices, std::vector<std::uint64_t>{28});
}

TEST(TimelineProducer, AFullMarkQueueDropsGroupsInsteadOfLosingTheirPlace) {
  Stream stream;
  std::uint64_t next = 1;
  // Every put jumps: each needs a mark, and nobody splits.
  for (std::size_t i = 0; i < kMaxStreamMarks; ++i) {
    stream.Put(next, 1, 0);
    next += 2;
  }
  const std::uint8_t bytes[4] = {};
  EXPECT_EQ(PutGroupsAt(stream.device, bytes, 1, 4, next, 0, stream.ten_volts), 1u);
  // What was put still comes out where it belongs.
  const Stream::Split split = stream.Take(1 << 20);
  ASSERT_EQ(split.indices.size(), kMaxStreamMarks);
  for (std::size_t i = 0; i < split.indices.size(); ++i) ASSERT_EQ(split.indices[i], 2 * i + 1);
  EXPECT_EQ(PutGroupsAt(stream.device, bytes, 1, 4, next, 0, stream.ten_volts), 0u);
}

// --- the sidecar -------------------------------------------------------------------

RecordingTimeline SampleTimeline() {
  RecordingTimeline t;
  t.recording = "26-12-08-10-00-00_1.dat";
  t.library_version = "1.0.0";
  t.start_unix_ns = 1796637600123456789;
  t.rate_code = 8;
  t.group_rate = 256000.0;
  t.group_bytes = 58;
  t.first_index = 1000;
  t.files = {{"26-12-08-10-00-00_1.dat", 58 * 700}, {"26-12-08-10-00-00_2.dat", 58 * 300}};
  t.groups = 1000;
  t.gaps = {{0, 1500, 125, 500, KR2270_GAP_LINK_LOST, 1},
            {1, 1900, 18446744073709, 775, KR2270_GAP_MODULE_RESTART, 1}};
  t.missing = 125 + 18446744073709;
  t.next_index = t.first_index + t.groups + t.missing;
  Settings ten;
  Settings five = ten;
  five.ad_range[2] = 1;
  five.ad_span[2] = 5.0;
  five.ad_zero_code[7] = -5;
  five.ct_mode[3] = 3;
  five.ct_freq_base[3] = 0.1;
  KR2270ConversionSettings first = ConversionOf(ten);
  first.index = 1000;
  KR2270ConversionSettings second = ConversionOf(five);
  second.number = 1;
  second.position = 500;
  second.index = 1625;  // after the gap at the same position
  t.settings = {first, second};
  t.application = {{"kr2270", "{\"module\": {\"host\": \"127.0.0.1\"}}"}, {"n", "[1, 2.5, null]"}};
  return t;
}

bool SameSettings(const KR2270ConversionSettings& a, const KR2270ConversionSettings& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(Sidecar, WhatIsWrittenReadsBackExactly) {
  const RecordingTimeline t = SampleTimeline();
  const std::string json = SidecarJson(t);
  RecordingTimeline back;
  ASSERT_TRUE(ParseSidecar(json, &back)) << json;
  EXPECT_EQ(back.recording, t.recording);
  EXPECT_EQ(back.start_unix_ns, t.start_unix_ns);
  EXPECT_NE(json.find("\"start_utc\": \"2026-12-07T10:00:00.123456789Z\""), std::string::npos) << json;
  EXPECT_EQ(back.first_index, 1000u);
  EXPECT_EQ(back.next_index, t.next_index);
  ASSERT_EQ(back.gaps.size(), 2u);
  EXPECT_EQ(back.gaps[1].missing, 18446744073709u) << "64-bit counts stay exact";
  EXPECT_EQ(back.gaps[1].cause, KR2270_GAP_MODULE_RESTART);
  ASSERT_EQ(back.settings.size(), 2u);
  EXPECT_TRUE(SameSettings(back.settings[0], t.settings[0]));
  EXPECT_TRUE(SameSettings(back.settings[1], t.settings[1]));
  ASSERT_EQ(back.files.size(), 2u);
  EXPECT_EQ(back.files[1].data_bytes, 58 * 300);
  JsonValue root;
  ASSERT_TRUE(ParseJson(json, &root));
  const JsonValue* application = root.Find("application");
  ASSERT_NE(application, nullptr);
  ASSERT_NE(application->Find("kr2270"), nullptr);
  EXPECT_EQ(application->Find("n")->items.size(), 3u);
}

TEST(Sidecar, ASidecarThatWouldMisplaceGroupsIsRefused) {
  struct Case {
    const char* what;
    void (*spoil)(RecordingTimeline&);
  };
  const Case cases[] = {
      {"a gap at an index its position does not give",
       [](RecordingTimeline& t) { t.gaps[1].index += 1; }},
      {"gaps out of order", [](RecordingTimeline& t) { std::swap(t.gaps[0], t.gaps[1]); }},
      {"a missing count that is not the gaps' sum", [](RecordingTimeline& t) { t.missing += 1; }},
      {"a gap beyond the groups recorded", [](RecordingTimeline& t) { t.groups = 700; }},
      {"settings not from position 0", [](RecordingTimeline& t) { t.settings[0].position = 1; }},
      {"a change at an index its position does not give",
       [](RecordingTimeline& t) { t.settings[1].index = 1500; }},
      {"numbers with a hole", [](RecordingTimeline& t) { t.gaps[1].number = 2; }},
  };
  for (const Case& c : cases) {
    RecordingTimeline t = SampleTimeline();
    c.spoil(t);
    RecordingTimeline back;
    EXPECT_FALSE(ParseSidecar(SidecarJson(t), &back)) << c.what;
  }
  RecordingTimeline back;
  std::string json = SidecarJson(SampleTimeline());
  EXPECT_FALSE(ParseSidecar(json.substr(0, json.size() / 2), &back)) << "cut short";
  json.replace(json.find("kr2270c-recording-timeline"), 6, "other!");
  EXPECT_FALSE(ParseSidecar(json, &back)) << "another format";
}

TEST(Json, RefusesWhatIsNotOneValidValue) {
  const char* bad[] = {
      "",          "{",           "[1,]",        "{\"a\":1,}",  "01",         "1.",
      "-",         "1e",          "nul",         "\"\\x\"",     "\"\\ud800\"", "\"a\" 1",
      "{'a':1}",   "\"\x01\"",    "\"\xC0\xAF\"", "\"\xED\xA0\x80\"", "\"\xF5\x80\x80\x80\"", "1e999",
      "NaN",       "[1 2]",       "{\"a\" 1}",   "\"\xE2\x82\""};
  for (const char* text : bad) {
    JsonValue v;
    EXPECT_FALSE(ParseJson(text, &v)) << text;
  }
  std::string deep(100, '[');
  deep += std::string(100, ']');
  JsonValue v;
  EXPECT_FALSE(ParseJson(deep, &v, 64)) << "nested too deep";
  EXPECT_TRUE(ParseJson(deep, &v, 100));
}

TEST(Json, ReadsValuesExactly) {
  JsonValue v;
  ASSERT_TRUE(ParseJson(" {\"u\": 18446744073709551615, \"s\": -9223372036854775808, \"d\": -2.5e-3,"
                        " \"t\": \"a\\u00e9\\ud83d\\ude00\\n\", \"b\": [true, false, null]} ",
                        &v));
  EXPECT_TRUE(v.Find("u")->is_unsigned);
  EXPECT_EQ(v.Find("u")->unsigned_value, 18446744073709551615u);
  EXPECT_EQ(v.Find("s")->signed_value, INT64_MIN);
  EXPECT_FALSE(v.Find("s")->is_unsigned);
  EXPECT_DOUBLE_EQ(v.Find("d")->number, -2.5e-3);
  EXPECT_FALSE(v.Find("d")->is_signed);
  EXPECT_EQ(v.Find("t")->text, "a\xC3\xA9\xF0\x9F\x98\x80\n");
  EXPECT_EQ(v.Find("b")->items.size(), 3u);
  EXPECT_EQ(v.Find("missing"), nullptr);
  // Quoting never makes invalid JSON, whatever the bytes.
  const std::string odd = std::string("q\"\\\x01\xFF\xC3\xA9 end", 11);
  ASSERT_TRUE(ParseJson(JsonQuoted(odd), &v));
  EXPECT_EQ(v.text, "q\"\\\x01\xEF\xBF\xBD\xC3\xA9 end");
  EXPECT_EQ(JsonNumber(0.1), "0.1");
  EXPECT_EQ(JsonNumber(1.0 / 0.0), "null");
}

TEST(Sidecar, FieldNames) {
  EXPECT_TRUE(IsFieldName("kr2270"));
  EXPECT_TRUE(IsFieldName("a.b-c_D9"));
  EXPECT_FALSE(IsFieldName(""));
  EXPECT_FALSE(IsFieldName("a b"));
  EXPECT_FALSE(IsFieldName("\"x\""));
  EXPECT_FALSE(IsFieldName(std::string(65, 'a')));
}

}  // namespace
}  // namespace kr2270
