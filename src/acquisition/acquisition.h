// Internal operations of high-speed acquisition: setup, start and stop, the
// receiver's pieces and the splitter. The exports in kr2270c.h wrap these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "device/device.h"
#include "kr2270c.h"

namespace kr2270 {

// Runs `body` (a setter of the stream layout or rate) unless acquisition
// runs, else -1 with nothing sent: the ring and the recording of a run hold
// groups of the settings taken at start. data_lock orders it with a start.
template <typename Body>
std::int32_t UnlessStreaming(Device* device, Body&& body) {
  if (device->streaming.load() != 0) return KR2270_ERROR_ARGUMENT;
  std::lock_guard<std::mutex> hold(device->data_lock);
  if (device->streaming.load() != 0) return KR2270_ERROR_ARGUMENT;
  return body();
}

// --- setup -------------------------------------------------------------------
std::int32_t HcSetFreq(Device* device, std::int32_t rate_code, std::int32_t timeout_ms);
std::int32_t HcSetTri(Device* device, std::int32_t enable, std::int32_t mode,
                      std::int32_t timeout_ms);
std::int32_t HcSetTranBytesCount(Device* device, std::int32_t bytes, std::int32_t timeout_ms);
std::int32_t HcSetTriCount(Device* device, std::int32_t count, std::int32_t timeout_ms);
std::int32_t HcGetGroupBc(Device* device);
std::int32_t AdFilterTimesPC(Device* device, std::int32_t times, double* rate_out);

// Low byte of register 22: bit 0 start, bit 2 trigger enable, bits 3-4 mode.
std::uint8_t TriggerControlByte(std::int32_t enable, std::int32_t mode, bool start);

// --- start and stop ------------------------------------------------------------
std::int32_t HcStart(Device* device, std::int32_t start, std::int32_t timeout_ms);
// Register 23: 1 tells the module to accept the data connection, 0 ends it.
std::int32_t WriteStreamEnable(Device* device, std::uint8_t value, std::int32_t timeout_ms);
// Opens the data connection and stores it; the caller holds data_lock.
// Returns 0, -101, or the failure of the register 23 write.
std::int32_t ConnectDataSocket(Device* device, std::int32_t timeout_ms, std::int32_t port);
std::int32_t HcGetLostGroups(Device* device, std::uint64_t* lost);
std::int32_t HcIsDataLost(Device* device);

// --- receiver --------------------------------------------------------------------
// One receive from the data connection; the caller holds data_lock. Returns
// the bytes received, 0 when none came within the receive time-out, -3 when
// the connection is gone (reset, closed by the module, or none) and -1 on any
// other failure.
std::int32_t DataReceive(Device* device, std::uint8_t* destination, std::int32_t count);
// Decimation of a received block, in place: keeps the bytes of groups 0, F,
// 2F, ... of the stream, carrying the phase across blocks in the state.
// Returns the bytes kept at the front of the block.
std::size_t CompleteBlock(ReceiverState& state, std::uint8_t* block, std::size_t received);
// A receive lands in the block behind the bytes of a group begun in the last
// one, so that the block always starts at a group boundary.
std::uint8_t* ReceiveTarget(ReceiverState& state);
std::size_t ReceiveRoom(const ReceiverState& state);
// Decimates the bytes received at ReceiveTarget and returns the bytes of the
// whole groups now at the front of the block.
std::size_t GatherWholeGroups(ReceiverState& state, std::size_t received);
// Moves what is left of a group behind the handed-on bytes to the front of
// the block, for the next receive to complete.
void CarryPartialGroup(ReceiverState& state, std::size_t handed_on);
// Hands the whole groups of a received block to the ring (dropping and
// counting those that find no room) and to an open recording, each with its
// place in the timeline; runs on the receiver thread outside data_lock.
void PassOnBlock(Device* device, std::size_t received);
// A stop after a reconnect: the groups held until the new connection's start
// is settled go on; when none came, the outage up to the new start is still
// a gap. With data_lock held and the receiver idle.
void SettleAtStop(Device* device);
// The connection that held them ended before their time was up: they go on
// with what is known of its start. On the receiver thread.
void PlaceHeldGroups(Device* device);

// --- automatic reconnect -----------------------------------------------------------
enum class Comeback { kBack, kGaveUp, kStopped };
// The receiver saw its connection end while streaming with the reconnect on.
bool ReconnectWanted(const Device* device);
// Reconnects with back-off until the stream runs again, the wait allowed is
// over, or the application stops; the receiver holds data_lock (given up
// while waiting and during command exchanges).
Comeback RestoreStream(Device* device, std::unique_lock<std::mutex>& hold);
std::int32_t SetAutoReconnect(Device* device, std::int32_t enable, std::int32_t max_wait_ms);
// After a command exchange found the connection gone while streaming: one
// attempt at a new command connection when its back-off allows, from the
// receiver thread (data_lock held, given up for the attempt). The stream
// goes on meanwhile.
void ReopenLostCommandConnection(Device* device, std::unique_lock<std::mutex>& hold);

// --- waiting for groups ------------------------------------------------------------
std::int32_t HcWaitGroups(Device* device, std::int32_t min_groups, std::int32_t timeout_ms);
// Wakes every KR2270_HcWaitGroups call to look again: after groups were
// published, the acquisition stopped or the data connection was lost.
void NotifyGroupWaiters(Device* device);
std::int32_t HcGetGaps(Device* device, KR2270Gap* gaps, std::int32_t max_gaps);

// --- the timeline ------------------------------------------------------------------
// The ring begins a new stream (a start, a replay's open): no marks, the
// producer and the splitter at index 0 with `settings`.
void ResetStreamPositions(Device* device, const Settings& settings);
// The producer, before it publishes groups whose first has `index` and
// converts with settings `settings_number`: leaves a mark for the splitter
// when either differs from what it would assume. False when the marks are
// full: nothing may then be published.
bool MarkNextGroups(Device* device, std::uint64_t index, std::uint64_t settings_number,
                    const Settings& settings);
// The producer, after it published count such groups.
void CountPutGroups(Device* device, std::uint64_t index, std::uint64_t settings_number,
                    std::uint64_t count);
// Both around a copy into the ring: puts the groups that fit and returns
// how many found no room.
std::uint64_t PutGroupsAt(Device* device, const std::uint8_t* groups, std::uint64_t count,
                          std::size_t group_size, std::uint64_t index,
                          std::uint64_t settings_number, const Settings& settings);
// A start, before it copies the settings: from now on a conversion change
// is posted for the receiver to place (one already in the copy is placed
// as no change at all).
void AcceptConversionChanges(Device* device);
// A start: the live timeline begins, with the run's settings as number 0.
void BeginRunTimeline(Device* device, const Settings& run, double group_rate);
// A stop: changes are no longer posted.
void EndRunTimeline(Device* device);
// The attached recording's timeline (recording).
void RecordedTimeline(Device* device, KR2270Timeline* timeline);

// --- splitter --------------------------------------------------------------------
std::int32_t HcCodeCanReadGroupCount(Device* device);
std::int32_t HcCodeSplit(Device* device, std::int32_t n);
void ClearChannelQueues(Device* device);
// Averages filter_times groups into each of n outputs, all or nothing.
std::int32_t SplitAveraged(Device* device, std::int32_t n);
std::int32_t HcCodeGetAd(Device* device, std::int32_t channel, std::int32_t* codes);
std::int32_t HcCodeGetDi(Device* device, std::uint16_t* words);
std::int32_t HcCodeGetCt(Device* device, std::int32_t counter, std::uint32_t* values);
std::int32_t HcCodeGetEc(Device* device, std::int32_t encoder, std::uint32_t* values);

}  // namespace kr2270
