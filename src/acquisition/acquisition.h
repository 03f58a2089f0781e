// Internal operations of high-speed acquisition: setup, start and stop, the
// receiver's pieces and the splitter. The exports in kr2270c.h wrap these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/device.h"

namespace kr2270 {

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
// Puts the whole groups of the bytes into the ring, joining a group begun by
// an earlier call; groups that find no room are dropped. Returns the number
// of groups dropped.
std::uint64_t PutWholeGroups(StreamFifo& fifo, ReceiverState& state, const std::uint8_t* bytes,
                             std::size_t length);
// SO_RCVLOWAT for a stream: about 2 ms of it, at least 1 byte, at most the
// block size.
std::int32_t ReceiveLowWater(std::int64_t bytes_per_second, std::int32_t block_bytes);

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
