// Every export called the wrong way: null handle, null arrays, channel and
// counter numbers out of range, negative and huge lengths, command exports
// after KR2270_CmdClose, reader exports without a reader. Each call must
// return the status kr2270c.h documents, send nothing to the module when it
// refuses, and write nothing outside the caller's arrays (guard bytes around
// every output) -- nor inside them when it fails.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "../fuzz/oracles.h"
#include "acquisition/stream_fifo.h"
#include "device/device.h"
#include "kr2270c.h"
#include "sim/simulator.h"

namespace kr2270 {
namespace {

namespace fs = std::filesystem;
constexpr std::int32_t T = 1000;  // reply time-out of every call
constexpr std::size_t kGuard = 16;
constexpr std::uint8_t kGuardByte = 0xC3;
constexpr std::uint8_t kFillByte = 0x5A;
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A caller's array of exactly `size` bytes with guard bytes on both sides.
class Region {
 public:
  void Prepare(std::size_t size, std::uint8_t fill) {
    size_ = size;
    fill_ = fill;
    std::memset(storage_, kGuardByte, sizeof storage_);
    std::memset(storage_ + kGuard, fill, size);
  }
  template <typename T_>
  T_* as() {
    return reinterpret_cast<T_*>(storage_ + kGuard);
  }
  std::uint8_t* u8() { return as<std::uint8_t>(); }
  std::int8_t* i8() { return as<std::int8_t>(); }
  std::uint16_t* u16() { return as<std::uint16_t>(); }
  std::int32_t* i32() { return as<std::int32_t>(); }
  std::uint32_t* u32() { return as<std::uint32_t>(); }
  std::int64_t* i64() { return as<std::int64_t>(); }
  std::uint64_t* u64() { return as<std::uint64_t>(); }
  double* dbl() { return as<double>(); }

  bool GuardsIntact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
      if (storage_[i] != kGuardByte || storage_[kGuard + size_ + i] != kGuardByte) return false;
    }
    return true;
  }
  bool Untouched() const {
    for (std::size_t i = 0; i < size_; ++i) {
      if (storage_[kGuard + i] != fill_) return false;
    }
    return GuardsIntact();
  }

 private:
  alignas(16) std::uint8_t storage_[kGuard + 512 + kGuard];
  std::size_t size_ = 0;
  std::uint8_t fill_ = 0;
};

struct Out {
  Region a, b;
};

using Call = std::function<std::int32_t(Device*, Out&)>;

struct Row {
  std::string name;     // the export, as declared in kr2270c.h
  Call call;
  std::int32_t status;  // documented result
  std::size_t a_bytes = 0, b_bytes = 0;  // documented sizes of the arrays
  std::uint8_t fill = kFillByte;         // content of the arrays before the call
};

const char* kIp = "127.0.0.1";

// --- every export that takes a handle, called with a null one ---------------
std::vector<Row> NullHandleRows() {
  return {
      {"KR2270_CmdConnect", [](Device* d, Out&) { return KR2270_CmdConnect(d, kIp, 0, 1, 2, 100); }, -1},
      {"KR2270_CmdRestoreSettings", [](Device* d, Out&) { return KR2270_CmdRestoreSettings(d, T); }, -1},
      {"KR2270_AdSetRange", [](Device* d, Out&) { return KR2270_AdSetRange(d, 1, 1, T); }, -1},
      {"KR2270_AdSetRangeEx", [](Device* d, Out&) { return KR2270_AdSetRangeEx(d, 1, 1, 1, T); }, -1},
      {"KR2270_AdInFifo", [](Device* d, Out& o) { return KR2270_AdInFifo(d, o.a.u8(), 4, T); }, -1, 8},
      {"KR2270_AdSetEndMode", [](Device* d, Out& o) { return KR2270_AdSetEndMode(d, o.a.u8(), T); }, -1, 8},
      {"KR2270_AdSetSleep", [](Device* d, Out& o) { return KR2270_AdSetSleep(d, o.a.i8(), T); }, -1, 2},
      {"KR2270_AdSetSource", [](Device* d, Out& o) { return KR2270_AdSetSource(d, o.a.u8(), T); }, -1, 8},
      {"KR2270_AdFullVotage", [](Device* d, Out&) { return KR2270_AdFullVotage(d, 1, T); }, -1},
      {"KR2270_AdReadAllOnce", [](Device* d, Out& o) { return KR2270_AdReadAllOnce(d, o.a.i32(), T); }, -1, 32},
      {"KR2270_DiReadAllOnce", [](Device* d, Out& o) { return KR2270_DiReadAllOnce(d, o.a.u8(), T); }, -1, 16},
      {"KR2270_DoWriteAllOnce", [](Device* d, Out& o) { return KR2270_DoWriteAllOnce(d, o.a.u8(), T); }, -1, 12},
      {"KR2270_DoSetMode", [](Device* d, Out& o) { return KR2270_DoSetMode(d, o.a.u8(), T); }, -1, 12},
      {"KR2270_DoSetVotage", [](Device* d, Out& o) { return KR2270_DoSetVotage(d, o.a.u8(), T); }, -1, 12},
      {"KR2270_DiInFifo", [](Device* d, Out&) { return KR2270_DiInFifo(d, 1, T); }, -1},
      {"KR2270_CtSetFreqBase", [](Device* d, Out& o) { return KR2270_CtSetFreqBase(d, 1, 10.0, o.a.dbl(), T); }, -1, 8},
      {"KR2270_CtSetModeAll", [](Device* d, Out& o) { return KR2270_CtSetModeAll(d, o.a.i8(), T); }, -1, 4},
      {"KR2270_CtClear", [](Device* d, Out& o) { return KR2270_CtClear(d, o.a.u8(), T); }, -1, 4},
      {"KR2270_CtInFifo", [](Device* d, Out& o) { return KR2270_CtInFifo(d, o.a.u8(), T); }, -1, 4},
      {"KR2270_EcInFifo", [](Device* d, Out& o) { return KR2270_EcInFifo(d, o.a.u8(), T); }, -1, 2},
      {"KR2270_EcClear", [](Device* d, Out& o) { return KR2270_EcClear(d, o.a.u8(), T); }, -1, 2},
      {"KR2270_CtReadAllOnce", [](Device* d, Out& o) { return KR2270_CtReadAllOnce(d, o.a.u32(), T); }, -1, 16},
      {"KR2270_EcReadAllOnce", [](Device* d, Out& o) { return KR2270_EcReadAllOnce(d, o.a.u32(), T); }, -1, 8},
      {"KR2270_PwmSetPulse", [](Device* d, Out& o) { return KR2270_PwmSetPulse(d, 1, 1000.0, 0.5, o.a.dbl(), o.b.dbl(), T); }, -1, 8, 8},
      {"KR2270_PwmSetCount", [](Device* d, Out&) { return KR2270_PwmSetCount(d, 1, 10, T); }, -1},
      {"KR2270_PwmSetPhase", [](Device* d, Out& o) { return KR2270_PwmSetPhase(d, o.a.u8(), T); }, -1, 4},
      {"KR2270_PwmStartAll", [](Device* d, Out& o) { return KR2270_PwmStartAll(d, o.a.u8(), T); }, -1, 4},
      {"KR2270_PwmIsOver", [](Device* d, Out& o) { return KR2270_PwmIsOver(d, o.a.u8(), T); }, -1, 4},
      {"KR2270_SetWtdStatus", [](Device* d, Out&) { return KR2270_SetWtdStatus(d, 1, 100, T); }, -1},
      {"KR2270_AdReadZeroFull", [](Device* d, Out& o) { return KR2270_AdReadZeroFull(d, o.a.i32(), o.b.i32(), T); }, -1, 32, 32},
      {"KR2270_AdWriteZero", [](Device* d, Out&) { return KR2270_AdWriteZero(d, 1, 0, T); }, -1},
      {"KR2270_AdWriteFull", [](Device* d, Out&) { return KR2270_AdWriteFull(d, 1, 0, T); }, -1},
      {"KR2270_AdReadRef", [](Device* d, Out& o) { return KR2270_AdReadRef(d, o.a.i32(), T); }, -1, 4},
      {"KR2270_AdWriteRef", [](Device* d, Out&) { return KR2270_AdWriteRef(d, 1, T); }, -1},
      {"KR2270_HcSetFreq", [](Device* d, Out&) { return KR2270_HcSetFreq(d, 8, T); }, -1},
      {"KR2270_HcSetTri", [](Device* d, Out&) { return KR2270_HcSetTri(d, 0, 0, T); }, -1},
      {"KR2270_HcSetTranBytesCount", [](Device* d, Out&) { return KR2270_HcSetTranBytesCount(d, 640, T); }, -1},
      {"KR2270_HcSetTriCount", [](Device* d, Out&) { return KR2270_HcSetTriCount(d, 1, T); }, -1},
      {"KR2270_HcGetGroupBc", [](Device* d, Out&) { return KR2270_HcGetGroupBc(d); }, -1},
      {"KR2270_AdFilterTimesPC", [](Device* d, Out& o) { return KR2270_AdFilterTimesPC(d, 0, o.a.dbl()); }, -1, 8},
      {"KR2270_HcStart", [](Device* d, Out&) { return KR2270_HcStart(d, 1, T); }, -1},
      {"KR2270_HcStart", [](Device* d, Out&) { return KR2270_HcStart(d, 0, T); }, -1},
      {"KR2270_HcCodeCanReadGroupCount", [](Device* d, Out&) { return KR2270_HcCodeCanReadGroupCount(d); }, -1},
      {"KR2270_HcCodeSplit", [](Device* d, Out&) { return KR2270_HcCodeSplit(d, 1); }, -1},
      {"KR2270_HcCodeGetAd", [](Device* d, Out& o) { return KR2270_HcCodeGetAd(d, 1, o.a.i32()); }, -1, 64},
      {"KR2270_HcCodeGetDi", [](Device* d, Out& o) { return KR2270_HcCodeGetDi(d, o.a.u16()); }, -1, 64},
      {"KR2270_HcCodeGetCt", [](Device* d, Out& o) { return KR2270_HcCodeGetCt(d, 1, o.a.u32()); }, -1, 64},
      {"KR2270_HcCodeGetEc", [](Device* d, Out& o) { return KR2270_HcCodeGetEc(d, 1, o.a.u32()); }, -1, 64},
      {"KR2270_AdCodeToValue", [](Device* d, Out& o) { return KR2270_AdCodeToValue(d, 1, o.a.i32(), 2, o.b.dbl()); }, -1, 8, 16},
      {"KR2270_CtCodeToValue", [](Device* d, Out& o) { return KR2270_CtCodeToValue(d, 1, o.a.u32(), 2, o.b.dbl()); }, -1, 8, 16},
      {"KR2270_DFWOpen", [](Device* d, Out&) { return KR2270_DFWOpen(d, "/tmp", 0); }, -1},
      {"KR2270_DFWClose", [](Device* d, Out&) { return KR2270_DFWClose(d); }, -1},
      {"KR2270_DFWGetInfo", [](Device* d, Out& o) { return KR2270_DFWGetInfo(d, o.a.i64(), o.b.i32()); }, -1, 8, 4},
      {"KR2270_DFROpen", [](Device* d, Out&) { return KR2270_DFROpen(d, "/tmp/x_1.dat", 0); }, -1},
      {"KR2270_HcGetLostGroups", [](Device* d, Out& o) { return KR2270_HcGetLostGroups(d, o.a.u64()); }, -1, 8},
      {"KR2270_HcIsDataLost", [](Device* d, Out&) { return KR2270_HcIsDataLost(d); }, -1},
      {"KR2270_HcWaitGroups", [](Device* d, Out&) { return KR2270_HcWaitGroups(d, 1, T); }, -1},
      {"KR2270_HcGetGaps", [](Device* d, Out& o) { return KR2270_HcGetGaps(d, o.a.as<KR2270Gap>(), 2); }, -1, 2 * sizeof(KR2270Gap)},
      {"KR2270_SetAutoReconnect", [](Device* d, Out&) { return KR2270_SetAutoReconnect(d, 1, 100); }, -1},
      {"KR2270_GetHealth", [](Device* d, Out&) {
         KR2270Health health{};
         health.struct_size = sizeof health;
         return KR2270_GetHealth(d, &health); }, -1},
      {"KR2270_HcGetGapsSince", [](Device* d, Out& o) { return KR2270_HcGetGapsSince(d, 0, o.a.as<KR2270GapRecord>(), 2, o.b.u64()); }, -1, 2 * sizeof(KR2270GapRecord), 8},
      {"KR2270_HcGetSettingsSince", [](Device* d, Out& o) { return KR2270_HcGetSettingsSince(d, 0, o.a.as<KR2270ConversionSettings>(), 1, o.b.u64()); }, -1, sizeof(KR2270ConversionSettings), 8},
      {"KR2270_GetConversionSettings", [](Device* d, Out& o) { return KR2270_GetConversionSettings(d, o.a.as<KR2270ConversionSettings>()); }, -1, sizeof(KR2270ConversionSettings)},
      {"KR2270_HcGetTimeline", [](Device* d, Out&) {
         KR2270Timeline timeline{};
         timeline.struct_size = sizeof timeline;
         return KR2270_HcGetTimeline(d, &timeline); }, -1},
      {"KR2270_HcCodeGetIndex", [](Device* d, Out& o) { return KR2270_HcCodeGetIndex(d, o.a.u64()); }, -1, 64},
      {"KR2270_HcAdCodeToValue", [](Device* d, Out& o) { return KR2270_HcAdCodeToValue(d, 1, o.a.i32(), 2, o.b.dbl()); }, -1, 8, 16},
      {"KR2270_HcCtCodeToValue", [](Device* d, Out& o) { return KR2270_HcCtCodeToValue(d, 1, o.a.u32(), 2, o.b.dbl()); }, -1, 8, 16},
      {"KR2270_DFWSetField", [](Device* d, Out&) { return KR2270_DFWSetField(d, "name", "1"); }, -1},
      {"KR2270_DFWGetFileName", [](Device* d, Out& o) { return KR2270_DFWGetFileName(d, 0, o.a.as<char>(), 64); }, -1, 64},
      {"KR2270_HcTriggerArm", [](Device* d, Out&) {
         KR2270TriggerSetup setup{sizeof setup, KR2270_TRIGGER_ANALOG, 1, KR2270_TRIGGER_RISING, 0.0, 0.0, 0, 1, 0, 0, 0};
         return KR2270_HcTriggerArm(d, &setup); }, -1},
      {"KR2270_HcTriggerDisarm", [](Device* d, Out&) { return KR2270_HcTriggerDisarm(d); }, -1},
      {"KR2270_HcTriggerTake", [](Device* d, Out&) {
         KR2270CaptureInfo info{};
         info.struct_size = sizeof info;
         return KR2270_HcTriggerTake(d, &info); }, -1},
      {"KR2270_HcTriggerGetStatus", [](Device* d, Out&) {
         KR2270TriggerStatus status{};
         status.struct_size = sizeof status;
         return KR2270_HcTriggerGetStatus(d, &status); }, -1},
  };
}

// --- the reader exports: -1 without a handle and without a reader -----------
std::vector<Row> ReaderRows() {
  return {
      {"KR2270_DFRClose", [](Device* d, Out&) { return KR2270_DFRClose(d); }, -1},
      {"KR2270_DFRRead", [](Device* d, Out& o) { return KR2270_DFRRead(d, 0.0, 1, o.a.i32()); }, -1, 4},
      {"KR2270_DFRGetGroupTotal", [](Device* d, Out& o) { return KR2270_DFRGetGroupTotal(d, o.a.dbl(), o.b.dbl()); }, -1, 8, 8},
      {"KR2270_DFRGetFreq", [](Device* d, Out& o) { return KR2270_DFRGetFreq(d, o.a.dbl()); }, -1, 8},
      {"KR2270_DFRGetAdInFifo", [](Device* d, Out& o) { return KR2270_DFRGetAdInFifo(d, o.a.u8()); }, -1, 8},
      {"KR2270_DFRGetCtInFifo", [](Device* d, Out& o) { return KR2270_DFRGetCtInFifo(d, o.a.u8()); }, -1, 4},
      {"KR2270_DFRGetEcInFifo", [](Device* d, Out& o) { return KR2270_DFRGetEcInFifo(d, o.a.u8()); }, -1, 2},
      {"KR2270_DFRGetDiInFifo", [](Device* d, Out& o) { return KR2270_DFRGetDiInFifo(d, o.a.u8()); }, -1, 1},
      {"KR2270_DFRGetRange", [](Device* d, Out& o) { return KR2270_DFRGetRange(d, o.a.u8()); }, -1, 8},
      {"KR2270_DFRGetTri", [](Device* d, Out& o) { return KR2270_DFRGetTri(d, o.a.i32(), o.b.i32()); }, -1, 4, 4},
      {"KR2270_DFRGetTriCount", [](Device* d, Out& o) { return KR2270_DFRGetTriCount(d, o.a.i32()); }, -1, 4},
      {"KR2270_DFRCtGetFreqBase", [](Device* d, Out& o) { return KR2270_DFRCtGetFreqBase(d, o.a.dbl()); }, -1, 32},
      {"KR2270_DFRCtGetModeAll", [](Device* d, Out& o) { return KR2270_DFRCtGetModeAll(d, o.a.i8()); }, -1, 4},
      {"KR2270_DFRAdReadZeroFull", [](Device* d, Out& o) { return KR2270_DFRAdReadZeroFull(d, o.a.i32(), o.b.i32()); }, -1, 32, 32},
      {"KR2270_DFRAdGetEndMode", [](Device* d, Out& o) { return KR2270_DFRAdGetEndMode(d, o.a.i32()); }, -1, 32},
      {"KR2270_DFRAdGetSleep", [](Device* d, Out& o) { return KR2270_DFRAdGetSleep(d, o.a.i32()); }, -1, 8},
      {"KR2270_DFRGetTimeline", [](Device* d, Out&) {
         KR2270Timeline timeline{};
         timeline.struct_size = sizeof timeline;
         return KR2270_DFRGetTimeline(d, &timeline); }, -1},
      {"KR2270_DFRGetGaps", [](Device* d, Out& o) { return KR2270_DFRGetGaps(d, 0, o.a.as<KR2270GapRecord>(), 2, o.b.u64()); }, -1, 2 * sizeof(KR2270GapRecord), 8},
      {"KR2270_DFRGetSettings", [](Device* d, Out& o) { return KR2270_DFRGetSettings(d, 0, o.a.as<KR2270ConversionSettings>(), 1, o.b.u64()); }, -1, sizeof(KR2270ConversionSettings), 8},
  };
}

// Checks one row: status, and no write outside (or, on failure, inside) the
// arrays.
void Check(const Row& row, Device* device, const std::string& context) {
  SCOPED_TRACE(context + " " + row.name);
  Out out;
  out.a.Prepare(row.a_bytes, row.fill);
  out.b.Prepare(row.b_bytes, row.fill);
  EXPECT_EQ(row.call(device, out), row.status);
  EXPECT_TRUE(out.a.GuardsIntact() && out.b.GuardsIntact()) << "write outside an array";
  if (row.status < 0) {
    EXPECT_TRUE(out.a.Untouched() && out.b.Untouched()) << "a failed call wrote an array";
  }
}

// The names declared in the public header, read from the header itself so
// that an export added later without a row here fails this test.
std::set<std::string> DeclaredExports() {
  const fs::path header = fs::path(KR2270_SOURCE_DIR) / "include/kr2270c.h";
  std::ifstream in(header);
  EXPECT_TRUE(in.good()) << header;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::set<std::string> names;
  const std::regex declaration(R"(KR2270_API[^;(]*\b(KR2270_[A-Za-z]+)\s*\()");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), declaration);
       it != std::sregex_iterator(); ++it) {
    names.insert((*it)[1].str());
  }
  return names;
}

TEST(ApiMisuse, EveryExportHasARow) {
  std::set<std::string> covered = {
      // Checked on their own below: no handle, or nothing to return.
      "KR2270_DeviceCreate", "KR2270_DeviceClose", "KR2270_CmdClose",
      "KR2270_AdOriginalCodeToCode", "KR2270_StatusText", "KR2270_GetVersion"};
  for (const Row& row : NullHandleRows()) covered.insert(row.name);
  for (const Row& row : ReaderRows()) covered.insert(row.name);
  const std::set<std::string> declared = DeclaredExports();
  // 71 exports and 26 extensions.
  EXPECT_EQ(declared.size(), 97u);
  for (const std::string& name : declared) EXPECT_TRUE(covered.count(name) == 1) << name;
}

TEST(ApiMisuse, NullHandle) {
  for (const Row& row : NullHandleRows()) Check(row, nullptr, "null handle");
  for (const Row& row : ReaderRows()) Check(row, nullptr, "null handle");
  KR2270_DeviceClose(nullptr);
  KR2270_CmdClose(nullptr);
}

TEST(ApiMisuse, ReaderExportsWithoutAReader) {
  Device* device = KR2270_DeviceCreate();
  ASSERT_NE(device, nullptr);
  for (const Row& row : ReaderRows()) Check(row, device, "no reader");
  KR2270_DeviceClose(device);
}

TEST(ApiMisuse, StatusTextIsNeverNull) {
  for (std::int32_t status : {0, -1, -2, -3, -4, -5, -6, -7, -8, -9, -100, -101, -201, -202, -203,
                              -204, -205, -206, 1, 100, INT32_MIN, INT32_MAX}) {
    const char* text = KR2270_StatusText(status);
    ASSERT_NE(text, nullptr) << status;
    EXPECT_GT(std::strlen(text), 0u) << status;
  }
}

TEST(ApiMisuse, SignExtensionWithNothingToDo) {
  KR2270_AdOriginalCodeToCode(nullptr, 0, nullptr);
  KR2270_AdOriginalCodeToCode(nullptr, -1, nullptr);
  KR2270_AdOriginalCodeToCode(nullptr, INT32_MIN, nullptr);
  Out out;
  out.a.Prepare(8, kFillByte);
  out.b.Prepare(8, kFillByte);
  KR2270_AdOriginalCodeToCode(out.a.i32(), 0, out.b.i32());
  KR2270_AdOriginalCodeToCode(out.a.i32(), -5, out.b.i32());
  EXPECT_TRUE(out.a.Untouched() && out.b.Untouched());
}

// A device connected to the simulated module: a refused call must not have
// sent anything.
class ApiMisuseConnected : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim_.Start(), 0);
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
    ASSERT_EQ(KR2270_CmdConnect(device_, kIp, 0, sim_.command_port(), sim_.data_port(), T), 0);
  }
  void TearDown() override { KR2270_DeviceClose(device_); }

  void CheckRefused(const Row& row, const std::string& context) {
    const std::uint64_t served = sim_.requests_served();
    Check(row, device_, context);
    EXPECT_EQ(sim_.requests_served(), served) << context << " " << row.name << " sent a request";
  }

  sim::Simulator sim_;
  Device* device_ = nullptr;
};

TEST_F(ApiMisuseConnected, NullArrays) {
  const std::vector<Row> rows = {
      {"KR2270_AdInFifo", [](Device* d, Out&) { return KR2270_AdInFifo(d, nullptr, 4, T); }, -1},
      {"KR2270_AdSetEndMode", [](Device* d, Out&) { return KR2270_AdSetEndMode(d, nullptr, T); }, -1},
      {"KR2270_AdSetSleep", [](Device* d, Out&) { return KR2270_AdSetSleep(d, nullptr, T); }, -1},
      {"KR2270_AdSetSource", [](Device* d, Out&) { return KR2270_AdSetSource(d, nullptr, T); }, -1},
      {"KR2270_AdReadAllOnce", [](Device* d, Out&) { return KR2270_AdReadAllOnce(d, nullptr, T); }, -1},
      {"KR2270_DiReadAllOnce", [](Device* d, Out&) { return KR2270_DiReadAllOnce(d, nullptr, T); }, -1},
      {"KR2270_DoWriteAllOnce", [](Device* d, Out&) { return KR2270_DoWriteAllOnce(d, nullptr, T); }, -1},
      {"KR2270_DoSetMode", [](Device* d, Out&) { return KR2270_DoSetMode(d, nullptr, T); }, -1},
      {"KR2270_DoSetVotage", [](Device* d, Out&) { return KR2270_DoSetVotage(d, nullptr, T); }, -1},
      {"KR2270_CtSetModeAll", [](Device* d, Out&) { return KR2270_CtSetModeAll(d, nullptr, T); }, -1},
      {"KR2270_CtClear", [](Device* d, Out&) { return KR2270_CtClear(d, nullptr, T); }, -8},
      {"KR2270_CtInFifo", [](Device* d, Out&) { return KR2270_CtInFifo(d, nullptr, T); }, -1},
      {"KR2270_EcInFifo", [](Device* d, Out&) { return KR2270_EcInFifo(d, nullptr, T); }, -1},
      {"KR2270_EcClear", [](Device* d, Out&) { return KR2270_EcClear(d, nullptr, T); }, -1},
      {"KR2270_CtReadAllOnce", [](Device* d, Out&) { return KR2270_CtReadAllOnce(d, nullptr, T); }, -1},
      {"KR2270_EcReadAllOnce", [](Device* d, Out&) { return KR2270_EcReadAllOnce(d, nullptr, T); }, -1},
      {"KR2270_PwmSetPhase", [](Device* d, Out&) { return KR2270_PwmSetPhase(d, nullptr, T); }, -1},
      {"KR2270_PwmStartAll", [](Device* d, Out&) { return KR2270_PwmStartAll(d, nullptr, T); }, -1},
      {"KR2270_PwmIsOver", [](Device* d, Out&) { return KR2270_PwmIsOver(d, nullptr, T); }, -1},
      {"KR2270_AdReadZeroFull", [](Device* d, Out& o) { return KR2270_AdReadZeroFull(d, nullptr, o.b.i32(), T); }, -1, 0, 32},
      {"KR2270_AdReadZeroFull", [](Device* d, Out& o) { return KR2270_AdReadZeroFull(d, o.a.i32(), nullptr, T); }, -1, 32},
      {"KR2270_AdReadRef", [](Device* d, Out&) { return KR2270_AdReadRef(d, nullptr, T); }, -1},
      {"KR2270_HcCodeGetDi", [](Device* d, Out&) { return KR2270_HcCodeGetDi(d, nullptr); }, -1},
      {"KR2270_HcCodeGetCt", [](Device* d, Out&) { return KR2270_HcCodeGetCt(d, 1, nullptr); }, -1},
      {"KR2270_HcCodeGetEc", [](Device* d, Out&) { return KR2270_HcCodeGetEc(d, 1, nullptr); }, -1},
      // An empty analog queue is looked at before the array.
      {"KR2270_HcCodeGetAd", [](Device* d, Out&) { return KR2270_HcCodeGetAd(d, 1, nullptr); }, 0},
      {"KR2270_AdCodeToValue", [](Device* d, Out& o) { return KR2270_AdCodeToValue(d, 1, nullptr, 1, o.b.dbl()); }, -8, 0, 8},
      {"KR2270_AdCodeToValue", [](Device* d, Out& o) { return KR2270_AdCodeToValue(d, 1, o.a.i32(), 1, nullptr); }, -8, 4},
      {"KR2270_CtCodeToValue", [](Device* d, Out& o) { return KR2270_CtCodeToValue(d, 1, nullptr, 1, o.b.dbl()); }, -8, 0, 8},
      {"KR2270_CtCodeToValue", [](Device* d, Out& o) { return KR2270_CtCodeToValue(d, 1, o.a.u32(), 1, nullptr); }, -8, 4},
      {"KR2270_CmdConnect", [](Device* d, Out&) { return KR2270_CmdConnect(d, nullptr, 0, 1, 2, T); }, -101},
      {"KR2270_DFWOpen", [](Device* d, Out&) { return KR2270_DFWOpen(d, nullptr, 0); }, -1},
      {"KR2270_DFROpen", [](Device* d, Out&) { return KR2270_DFROpen(d, nullptr, 0); }, -1},
      {"KR2270_HcGetLostGroups", [](Device* d, Out&) { return KR2270_HcGetLostGroups(d, nullptr); }, -1},
  };
  for (const Row& row : rows) CheckRefused(row, "null array");
  // Pointers documented as optional are simply not written.
  const std::vector<Row> optional = {
      {"KR2270_CtSetFreqBase", [](Device* d, Out&) { return KR2270_CtSetFreqBase(d, 1, 10.0, nullptr, T); }, 0},
      {"KR2270_PwmSetPulse", [](Device* d, Out&) { return KR2270_PwmSetPulse(d, 1, 1000.0, 0.5, nullptr, nullptr, T); }, 0},
      {"KR2270_AdFilterTimesPC", [](Device* d, Out&) { return KR2270_AdFilterTimesPC(d, 0, nullptr); }, 0},
      {"KR2270_DFWGetInfo", [](Device* d, Out&) { return KR2270_DFWGetInfo(d, nullptr, nullptr); }, 0},
      {"KR2270_CtCodeToValue", [](Device* d, Out&) { return KR2270_CtCodeToValue(d, 1, nullptr, 0, nullptr); }, 0},
  };
  for (const Row& row : optional) Check(row, device_, "optional pointer");
  // The connection is still there and in step.
  std::int32_t codes[8];
  EXPECT_EQ(KR2270_AdReadAllOnce(device_, codes, T), 0);
}

TEST_F(ApiMisuseConnected, NumbersOutOfRange) {
  struct Numbered {
    const char* name;
    std::function<std::int32_t(Device*, std::int32_t, Out&)> call;
    std::int32_t status;
    std::int32_t past_last;  // the first number above the valid range
    std::size_t a_bytes = 0, b_bytes = 0;
  };
  const std::vector<Numbered> exports = {
      {"KR2270_AdSetRange", [](Device* d, std::int32_t n, Out&) { return KR2270_AdSetRange(d, n, 1, T); }, -1, 9},
      {"KR2270_AdSetRangeEx", [](Device* d, std::int32_t n, Out&) { return KR2270_AdSetRangeEx(d, n, 1, 1, T); }, -1, 9},
      {"KR2270_AdWriteZero", [](Device* d, std::int32_t n, Out&) { return KR2270_AdWriteZero(d, n, 0, T); }, -1, 9},
      {"KR2270_AdWriteFull", [](Device* d, std::int32_t n, Out&) { return KR2270_AdWriteFull(d, n, 0, T); }, -1, 9},
      {"KR2270_CtSetFreqBase", [](Device* d, std::int32_t n, Out& o) { return KR2270_CtSetFreqBase(d, n, 10.0, o.a.dbl(), T); }, -8, 5, 8},
      {"KR2270_PwmSetPulse", [](Device* d, std::int32_t n, Out& o) { return KR2270_PwmSetPulse(d, n, 1000.0, 0.5, o.a.dbl(), o.b.dbl(), T); }, -1, 5, 8, 8},
      {"KR2270_PwmSetCount", [](Device* d, std::int32_t n, Out&) { return KR2270_PwmSetCount(d, n, 1, T); }, -1, 5},
      {"KR2270_HcCodeGetAd", [](Device* d, std::int32_t n, Out& o) { return KR2270_HcCodeGetAd(d, n, o.a.i32()); }, -1, 9, 64},
      {"KR2270_HcCodeGetCt", [](Device* d, std::int32_t n, Out& o) { return KR2270_HcCodeGetCt(d, n, o.a.u32()); }, -1, 5, 64},
      {"KR2270_HcCodeGetEc", [](Device* d, std::int32_t n, Out& o) { return KR2270_HcCodeGetEc(d, n, o.a.u32()); }, -1, 3, 64},
      {"KR2270_AdCodeToValue", [](Device* d, std::int32_t n, Out& o) { return KR2270_AdCodeToValue(d, n, o.a.i32(), 2, o.b.dbl()); }, -8, 9, 8, 16},
      {"KR2270_CtCodeToValue", [](Device* d, std::int32_t n, Out& o) { return KR2270_CtCodeToValue(d, n, o.a.u32(), 2, o.b.dbl()); }, -8, 5, 8, 16},
  };
  for (const Numbered& e : exports) {
    for (std::int32_t n : {0, e.past_last, 9, -1, INT32_MAX, INT32_MIN}) {
      const std::int32_t number = n;
      const auto call = e.call;
      CheckRefused({e.name, [call, number](Device* d, Out& o) { return call(d, number, o); },
                    e.status, e.a_bytes, e.b_bytes},
                   "number " + std::to_string(n));
    }
  }
}

TEST_F(ApiMisuseConnected, ValuesOutsideTheirDomain) {
  const std::vector<Row> rows = {
      // Rate codes outside the table, including one whose low byte is valid.
      {"KR2270_HcSetFreq", [](Device* d, Out&) { return KR2270_HcSetFreq(d, 0, T); }, -1},
      {"KR2270_HcSetFreq", [](Device* d, Out&) { return KR2270_HcSetFreq(d, 17, T); }, -1},
      {"KR2270_HcSetFreq", [](Device* d, Out&) { return KR2270_HcSetFreq(d, -1, T); }, -1},
      {"KR2270_HcSetFreq", [](Device* d, Out&) { return KR2270_HcSetFreq(d, 8 + 256, T); }, -1},
      {"KR2270_HcSetFreq", [](Device* d, Out&) { return KR2270_HcSetFreq(d, INT32_MAX, T); }, -1},
      // Base periods that are not finite or whose divisor leaves 64 bits.
      {"KR2270_CtSetFreqBase", [](Device* d, Out& o) { return KR2270_CtSetFreqBase(d, 1, kNan, o.a.dbl(), T); }, -1, 8},
      {"KR2270_CtSetFreqBase", [](Device* d, Out& o) { return KR2270_CtSetFreqBase(d, 1, kInf, o.a.dbl(), T); }, -1, 8},
      {"KR2270_CtSetFreqBase", [](Device* d, Out& o) { return KR2270_CtSetFreqBase(d, 1, -kInf, o.a.dbl(), T); }, -1, 8},
      {"KR2270_CtSetFreqBase", [](Device* d, Out& o) { return KR2270_CtSetFreqBase(d, 1, 1e300, o.a.dbl(), T); }, -1, 8},
      // Pulse frequencies of zero, not finite or too small for a 64-bit
      // count; duty cycles that are not finite.
      {"KR2270_PwmSetPulse", [](Device* d, Out& o) { return KR2270_PwmSetPulse(d, 1, 0.0, 0.5, o.a.dbl(), o.b.dbl(), T); }, -1, 8, 8},
      {"KR2270_PwmSetPulse", [](Device* d, Out& o) { return KR2270_PwmSetPulse(d, 1, kNan, 0.5, o.a.dbl(), o.b.dbl(), T); }, -1, 8, 8},
      {"KR2270_PwmSetPulse", [](Device* d, Out& o) { return KR2270_PwmSetPulse(d, 1, kInf, 0.5, o.a.dbl(), o.b.dbl(), T); }, -1, 8, 8},
      {"KR2270_PwmSetPulse", [](Device* d, Out& o) { return KR2270_PwmSetPulse(d, 1, 1e-300, 0.5, o.a.dbl(), o.b.dbl(), T); }, -1, 8, 8},
      {"KR2270_PwmSetPulse", [](Device* d, Out& o) { return KR2270_PwmSetPulse(d, 1, 1000.0, kNan, o.a.dbl(), o.b.dbl(), T); }, -1, 8, 8},
      {"KR2270_PwmSetPulse", [](Device* d, Out& o) { return KR2270_PwmSetPulse(d, 1, 1000.0, -kInf, o.a.dbl(), o.b.dbl(), T); }, -1, 8, 8},
      // Address texts too long for the field.
      {"KR2270_CmdConnect", [](Device* d, Out&) { return KR2270_CmdConnect(d, kIp, 20, 1, 2, T); }, -101},
      {"KR2270_CmdConnect", [](Device* d, Out&) { return KR2270_CmdConnect(d, kIp, 0xFFFFFFFFu, 1, 2, T); }, -101},
      {"KR2270_CmdConnect", [](Device* d, Out&) { return KR2270_CmdConnect(d, "127.0.0.1.127.0.0.1.1", 0, 1, 2, T); }, -101},
      // Directory lengths of 260 and more, and negative ones.
      {"KR2270_DFWOpen", [](Device* d, Out&) { return KR2270_DFWOpen(d, "/tmp", 260); }, -201},
      {"KR2270_DFWOpen", [](Device* d, Out&) { return KR2270_DFWOpen(d, "/tmp", INT32_MAX); }, -201},
      {"KR2270_DFWOpen", [](Device* d, Out&) { return KR2270_DFWOpen(d, "/tmp", -1); }, -201},
      {"KR2270_DFWOpen", [](Device* d, Out&) { return KR2270_DFWOpen(d, "/tmp", INT32_MIN); }, -201},
      // Negative split counts.
      {"KR2270_HcCodeSplit", [](Device* d, Out&) { return KR2270_HcCodeSplit(d, -1); }, -1},
      {"KR2270_HcCodeSplit", [](Device* d, Out&) { return KR2270_HcCodeSplit(d, INT32_MIN); }, -1},
      {"KR2270_HcCodeSplit", [](Device* d, Out&) { return KR2270_HcCodeSplit(d, INT32_MAX); }, 0},
      // Negative conversion counts convert nothing.
      {"KR2270_AdCodeToValue", [](Device* d, Out& o) { return KR2270_AdCodeToValue(d, 1, o.a.i32(), -1, o.b.dbl()); }, 0, 8, 16},
      {"KR2270_AdCodeToValue", [](Device* d, Out& o) { return KR2270_AdCodeToValue(d, 1, o.a.i32(), INT32_MIN, o.b.dbl()); }, 0, 8, 16},
      {"KR2270_CtCodeToValue", [](Device* d, Out& o) { return KR2270_CtCodeToValue(d, 1, o.a.u32(), -1, o.b.dbl()); }, 0, 8, 16},
      // Start with a transfer size of 0 (the value at creation).
      {"KR2270_HcStart", [](Device* d, Out&) { return KR2270_HcStart(d, 1, T); }, -1},
  };
  for (const Row& row : rows) {
    CheckRefused(row, "domain");
    if (row.status == 0) {
      // A successful call that converts or splits nothing writes nothing either.
      Out out;
      out.a.Prepare(row.a_bytes, kFillByte);
      out.b.Prepare(row.b_bytes, kFillByte);
      row.call(device_, out);
      EXPECT_TRUE(out.a.Untouched() && out.b.Untouched()) << row.name;
    }
  }
  // A rejected connect leaves the connection there.
  std::int32_t codes[8];
  EXPECT_EQ(KR2270_AdReadAllOnce(device_, codes, T), 0);
  // A negative averaging count is stored, but never reaches the start or
  // the split.
  ASSERT_EQ(KR2270_HcSetTranBytesCount(device_, 640, T), 0);
  ASSERT_EQ(KR2270_AdFilterTimesPC(device_, -1, nullptr), 0);
  const std::vector<Row> negative_average = {
      {"KR2270_HcStart", [](Device* d, Out&) { return KR2270_HcStart(d, 1, T); }, -1},
      {"KR2270_HcCodeCanReadGroupCount", [](Device* d, Out&) { return KR2270_HcCodeCanReadGroupCount(d); }, 0},
      {"KR2270_HcCodeSplit", [](Device* d, Out&) { return KR2270_HcCodeSplit(d, 1); }, -1},
  };
  for (const Row& row : negative_average) CheckRefused(row, "negative averaging count");
  // No channel in the stream: nothing to start.
  ASSERT_EQ(KR2270_AdFilterTimesPC(device_, 0, nullptr), 0);
  const std::uint8_t none[8] = {};
  ASSERT_EQ(KR2270_AdInFifo(device_, none, 4, T), 0);
  CheckRefused({"KR2270_HcStart", [](Device* d, Out&) { return KR2270_HcStart(d, 1, T); }, -1},
               "no channel enabled");
  CheckRefused({"KR2270_HcCodeCanReadGroupCount",
                [](Device* d, Out&) { return KR2270_HcCodeCanReadGroupCount(d); }, 0},
               "no channel enabled");
}

TEST_F(ApiMisuseConnected, CommandExportsAfterCmdClose) {
  // A transfer size, so that the start gets past its own checks.
  ASSERT_EQ(KR2270_HcSetTranBytesCount(device_, 640, T), 0);
  KR2270_CmdClose(device_);
  const std::uint8_t in_out = 0x01;  // arrays the export rewrites to bit 0
  const std::vector<Row> rows = {
      {"KR2270_AdSetRange", [](Device* d, Out&) { return KR2270_AdSetRange(d, 1, 1, T); }, -4},
      {"KR2270_AdSetRangeEx", [](Device* d, Out&) { return KR2270_AdSetRangeEx(d, 1, 1, 1, T); }, -4},
      {"KR2270_AdInFifo", [](Device* d, Out& o) { return KR2270_AdInFifo(d, o.a.u8(), 4, T); }, -4, 8, 0, in_out},
      {"KR2270_AdSetEndMode", [](Device* d, Out& o) { return KR2270_AdSetEndMode(d, o.a.u8(), T); }, -4, 8, 0, in_out},
      {"KR2270_AdSetSleep", [](Device* d, Out& o) { return KR2270_AdSetSleep(d, o.a.i8(), T); }, -4, 2},
      {"KR2270_AdSetSource", [](Device* d, Out& o) { return KR2270_AdSetSource(d, o.a.u8(), T); }, -4, 8},
      {"KR2270_AdFullVotage", [](Device* d, Out&) { return KR2270_AdFullVotage(d, 1, T); }, -4},
      {"KR2270_AdReadAllOnce", [](Device* d, Out& o) { return KR2270_AdReadAllOnce(d, o.a.i32(), T); }, -4, 32},
      {"KR2270_DiReadAllOnce", [](Device* d, Out& o) { return KR2270_DiReadAllOnce(d, o.a.u8(), T); }, -4, 16},
      {"KR2270_DoWriteAllOnce", [](Device* d, Out& o) { return KR2270_DoWriteAllOnce(d, o.a.u8(), T); }, -4, 12},
      {"KR2270_DoSetMode", [](Device* d, Out& o) { return KR2270_DoSetMode(d, o.a.u8(), T); }, -4, 12},
      {"KR2270_DoSetVotage", [](Device* d, Out& o) { return KR2270_DoSetVotage(d, o.a.u8(), T); }, -4, 12},
      {"KR2270_DiInFifo", [](Device* d, Out&) { return KR2270_DiInFifo(d, 1, T); }, -4},
      {"KR2270_CtSetFreqBase", [](Device* d, Out& o) { return KR2270_CtSetFreqBase(d, 1, 10.0, o.a.dbl(), T); }, -4, 8},
      {"KR2270_CtSetModeAll", [](Device* d, Out& o) { return KR2270_CtSetModeAll(d, o.a.i8(), T); }, -4, 4},
      {"KR2270_CtInFifo", [](Device* d, Out& o) { return KR2270_CtInFifo(d, o.a.u8(), T); }, -4, 4, 0, in_out},
      {"KR2270_EcInFifo", [](Device* d, Out& o) { return KR2270_EcInFifo(d, o.a.u8(), T); }, -4, 2, 0, in_out},
      {"KR2270_EcClear", [](Device* d, Out& o) { return KR2270_EcClear(d, o.a.u8(), T); }, -4, 2},
      {"KR2270_CtReadAllOnce", [](Device* d, Out& o) { return KR2270_CtReadAllOnce(d, o.a.u32(), T); }, -4, 16},
      {"KR2270_EcReadAllOnce", [](Device* d, Out& o) { return KR2270_EcReadAllOnce(d, o.a.u32(), T); }, -4, 8},
      {"KR2270_PwmSetPulse", [](Device* d, Out& o) { return KR2270_PwmSetPulse(d, 1, 1000.0, 0.5, o.a.dbl(), o.b.dbl(), T); }, -4, 8, 8},
      {"KR2270_PwmSetCount", [](Device* d, Out&) { return KR2270_PwmSetCount(d, 1, 10, T); }, -4},
      {"KR2270_PwmSetPhase", [](Device* d, Out& o) { return KR2270_PwmSetPhase(d, o.a.u8(), T); }, -4, 4},
      {"KR2270_PwmStartAll", [](Device* d, Out& o) { return KR2270_PwmStartAll(d, o.a.u8(), T); }, -4, 4},
      {"KR2270_PwmIsOver", [](Device* d, Out& o) { return KR2270_PwmIsOver(d, o.a.u8(), T); }, -4, 4},
      {"KR2270_SetWtdStatus", [](Device* d, Out&) { return KR2270_SetWtdStatus(d, 1, 100, T); }, -4},
      {"KR2270_AdReadZeroFull", [](Device* d, Out& o) { return KR2270_AdReadZeroFull(d, o.a.i32(), o.b.i32(), T); }, -4, 32, 32},
      {"KR2270_AdWriteZero", [](Device* d, Out&) { return KR2270_AdWriteZero(d, 1, 0, T); }, -4},
      {"KR2270_AdWriteFull", [](Device* d, Out&) { return KR2270_AdWriteFull(d, 1, 0, T); }, -4},
      {"KR2270_AdReadRef", [](Device* d, Out& o) { return KR2270_AdReadRef(d, o.a.i32(), T); }, -4, 4},
      {"KR2270_AdWriteRef", [](Device* d, Out&) { return KR2270_AdWriteRef(d, 1, T); }, -4},
      {"KR2270_HcSetFreq", [](Device* d, Out&) { return KR2270_HcSetFreq(d, 8, T); }, -4},
      {"KR2270_HcSetTri", [](Device* d, Out&) { return KR2270_HcSetTri(d, 0, 0, T); }, -4},
      {"KR2270_HcSetTranBytesCount", [](Device* d, Out&) { return KR2270_HcSetTranBytesCount(d, 640, T); }, -4},
      {"KR2270_HcSetTriCount", [](Device* d, Out&) { return KR2270_HcSetTriCount(d, 1, T); }, -4},
      // No command connection: no data connection either.
      {"KR2270_HcStart", [](Device* d, Out&) { return KR2270_HcStart(d, 1, T); }, -101},
      // The stop's last step is the register 22 write.
      {"KR2270_HcStart", [](Device* d, Out&) { return KR2270_HcStart(d, 0, T); }, -4},
      // The clear sequence does not report its writes.
      {"KR2270_CtClear", [](Device* d, Out& o) { return KR2270_CtClear(d, o.a.u8(), T); }, 0, 4},
  };
  for (const Row& row : rows) CheckRefused(row, "after CmdClose");
  EXPECT_EQ(KR2270_HcIsDataLost(device_), 0);
  KR2270_CmdClose(device_);  // a second close is harmless
}

// The arrays of successful calls are written within their documented sizes.
TEST_F(ApiMisuseConnected, SuccessfulCallsStayInsideTheirArrays) {
  const std::vector<Row> rows = {
      {"KR2270_AdReadAllOnce", [](Device* d, Out& o) { return KR2270_AdReadAllOnce(d, o.a.i32(), T); }, 0, 32},
      {"KR2270_DiReadAllOnce", [](Device* d, Out& o) { return KR2270_DiReadAllOnce(d, o.a.u8(), T); }, 0, 16},
      {"KR2270_CtReadAllOnce", [](Device* d, Out& o) { return KR2270_CtReadAllOnce(d, o.a.u32(), T); }, 0, 16},
      {"KR2270_EcReadAllOnce", [](Device* d, Out& o) { return KR2270_EcReadAllOnce(d, o.a.u32(), T); }, 0, 8},
      {"KR2270_PwmIsOver", [](Device* d, Out& o) { return KR2270_PwmIsOver(d, o.a.u8(), T); }, 0, 4},
      {"KR2270_AdReadZeroFull", [](Device* d, Out& o) { return KR2270_AdReadZeroFull(d, o.a.i32(), o.b.i32(), T); }, 0, 32, 32},
      {"KR2270_AdReadRef", [](Device* d, Out& o) { return KR2270_AdReadRef(d, o.a.i32(), T); }, 0, 4},
      {"KR2270_CtSetFreqBase", [](Device* d, Out& o) { return KR2270_CtSetFreqBase(d, 2, 10.0, o.a.dbl(), T); }, 0, 8},
      {"KR2270_PwmSetPulse", [](Device* d, Out& o) { return KR2270_PwmSetPulse(d, 3, 1000.0, 0.5, o.a.dbl(), o.b.dbl(), T); }, 0, 8, 8},
      {"KR2270_CtInFifo", [](Device* d, Out& o) { return KR2270_CtInFifo(d, o.a.u8(), T); }, 0, 4},
      {"KR2270_EcInFifo", [](Device* d, Out& o) { return KR2270_EcInFifo(d, o.a.u8(), T); }, 0, 2},
      {"KR2270_AdFilterTimesPC", [](Device* d, Out& o) { return KR2270_AdFilterTimesPC(d, 0, o.a.dbl()); }, 0, 8},
      {"KR2270_HcGetLostGroups", [](Device* d, Out& o) { return KR2270_HcGetLostGroups(d, o.a.u64()); }, 0, 8},
      {"KR2270_DFWGetInfo", [](Device* d, Out& o) { return KR2270_DFWGetInfo(d, o.a.i64(), o.b.i32()); }, 0, 8, 4},
  };
  for (const Row& row : rows) Check(row, device_, "success");

  // Fetches after a split of three groups of every item, arrays sized to
  // the count the split returned.
  std::uint8_t all[4] = {1, 1, 1, 1};
  std::uint8_t both[2] = {1, 1};
  ASSERT_EQ(KR2270_DiInFifo(device_, 1, T), 0);
  ASSERT_EQ(KR2270_CtInFifo(device_, all, T), 0);
  ASSERT_EQ(KR2270_EcInFifo(device_, both, T), 0);
  const std::int32_t group = KR2270_HcGetGroupBc(device_);
  ASSERT_EQ(group, 58);
  std::vector<std::uint8_t> groups(3 * 58 + 5, 0x11);
  device_->stream_settings = device_->settings;  // the groups of a run, as a start takes it
  ASSERT_EQ(FifoPut(device_->stream_fifo, groups.data(), static_cast<std::uint32_t>(groups.size())),
            groups.size());
  ASSERT_EQ(KR2270_HcCodeSplit(device_, 100), 3);
  const std::vector<Row> fetches = {
      {"KR2270_HcCodeGetAd", [](Device* d, Out& o) { return KR2270_HcCodeGetAd(d, 8, o.a.i32()); }, 3, 12},
      {"KR2270_HcCodeGetDi", [](Device* d, Out& o) { return KR2270_HcCodeGetDi(d, o.a.u16()); }, 3, 6},
      {"KR2270_HcCodeGetCt", [](Device* d, Out& o) { return KR2270_HcCodeGetCt(d, 4, o.a.u32()); }, 3, 12},
      {"KR2270_HcCodeGetEc", [](Device* d, Out& o) { return KR2270_HcCodeGetEc(d, 2, o.a.u32()); }, 3, 12},
      {"KR2270_AdCodeToValue", [](Device* d, Out& o) { return KR2270_AdCodeToValue(d, 8, o.a.i32(), 3, o.b.dbl()); }, 0, 12, 24},
      {"KR2270_CtCodeToValue", [](Device* d, Out& o) { return KR2270_CtCodeToValue(d, 4, o.a.u32(), 3, o.b.dbl()); }, 0, 12, 24},
  };
  for (const Row& row : fetches) Check(row, device_, "fetch");
}

// A small recording, written byte by byte from the file format, so that the
// reader exports have something to read.
class ApiMisuseReader : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kr2270_misuse_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    oracle::Header h;
    h.rate_code = 8;
    oracle::Bytes file = oracle::HeaderBytes(h);
    file.resize(file.size() + 10 * 32, 0x22);  // ten 32-byte groups
    path_ = (dir_ / "26-01-01-00-00-00_1.dat").string();
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    device_ = KR2270_DeviceCreate();
    ASSERT_NE(device_, nullptr);
  }
  void TearDown() override {
    KR2270_DFRClose(device_);
    KR2270_DeviceClose(device_);
    fs::remove_all(dir_);
  }
  fs::path dir_;
  std::string path_;
  Device* device_ = nullptr;
};

TEST_F(ApiMisuseReader, ReaderExportsStayInsideTheirArrays) {
  ASSERT_EQ(KR2270_DFROpen(device_, path_.c_str(), 0), 0);
  std::vector<Row> rows = ReaderRows();
  rows.erase(rows.begin());  // DFRClose last
  // A recording without a sidecar: its header's settings and no gap.
  for (Row& row : rows) row.status = row.name == std::string("KR2270_DFRGetSettings") ? 1 : 0;
  for (const Row& row : rows) Check(row, device_, "reader");
  // Counts of nothing read nothing and write nothing.
  const std::vector<Row> nothing = {
      {"KR2270_DFRRead", [](Device* d, Out& o) { return KR2270_DFRRead(d, 0.0, 0, o.a.i32()); }, 0, 4},
      {"KR2270_DFRRead", [](Device* d, Out& o) { return KR2270_DFRRead(d, 0.0, -1, o.a.i32()); }, 0, 4},
      {"KR2270_DFRRead", [](Device* d, Out& o) { return KR2270_DFRRead(d, 0.0, INT32_MIN, o.a.i32()); }, 0, 4},
  };
  for (const Row& row : nothing) {
    Out out;
    out.a.Prepare(4, kFillByte);
    out.b.Prepare(0, kFillByte);
    EXPECT_EQ(row.call(device_, out), 0);
    EXPECT_TRUE(out.a.Untouched()) << "count argument written for a read of nothing";
  }
  // The optional pointers.
  EXPECT_EQ(KR2270_DFRRead(device_, 0.0, 1, nullptr), 0);
  EXPECT_EQ(KR2270_DFRGetGroupTotal(device_, nullptr, nullptr), 0);
  EXPECT_EQ(KR2270_DFRGetFreq(device_, nullptr), 0);
  EXPECT_EQ(KR2270_DFRClose(device_), 0);
  EXPECT_EQ(KR2270_DFRClose(device_), -1);
  for (const Row& row : ReaderRows()) Check(row, device_, "after DFRClose");
}

TEST_F(ApiMisuseReader, OpenRefusedOnAConnectedDeviceOrWithABadLength) {
  sim::Simulator sim;
  ASSERT_EQ(sim.Start(), 0);
  ASSERT_EQ(KR2270_CmdConnect(device_, kIp, 0, sim.command_port(), sim.data_port(), T), 0);
  EXPECT_EQ(KR2270_DFROpen(device_, path_.c_str(), 0), -1);
  for (const Row& row : ReaderRows()) Check(row, device_, "open refused");
  KR2270_CmdClose(device_);
  for (std::int32_t length : {-1, INT32_MIN}) {
    const std::int32_t status = KR2270_DFROpen(device_, path_.c_str(), length);
    EXPECT_TRUE(status == -1 || status == -201) << length << ": " << status;
    if (status == -1) {
      for (const Row& row : ReaderRows()) Check(row, device_, "negative length");
    }
  }
}

}  // namespace
}  // namespace kr2270
