// Stream runs against a simulated module in a child process: the library's
// receiver, splitter and conversions, and a plain receiver that only
// receives and discards the same stream.
#pragma once

#include <cstdint>

#include "bench_util.h"
#include "command_clients.h"
#include "stream_consumer.h"

namespace kr2270::bench {

inline constexpr std::int32_t kHighestRateCode = 8;
inline constexpr double kHighestGroupRate = 256000.0;

// A stream set up through libmodbus for the full layout at the device rate
// code, received on a plain socket.
struct PlainStream {
  modbus_t* modbus = nullptr;
  int fd = -1;
};
bool OpenPlainStream(std::uint16_t command_port, std::uint16_t data_port,
                     std::int32_t device_rate_code, PlainStream* stream);
void ClosePlainStream(PlainStream& stream);

struct PlainRun {
  bool ok = false;
  double seconds = 0.0;
  std::uint64_t bytes = 0;
  std::int64_t cpu_ns = 0;
};
// Receives for `seconds` with a blocking recv of a large buffer.
PlainRun RunPlainReceiver(const SimProcess& sim, std::int32_t device_rate_code, double seconds);

enum class Pace {
  kEvery10Ms,   // the application wakes every 10 ms and takes what is buffered
  kContinuous,  // the application takes groups as fast as they come
};

struct LibraryRun {
  bool ok = false;           // connected, configured and started
  double seconds = 0.0;      // from the start to the stop
  std::uint64_t groups = 0;  // groups the application received, drained after the stop
  std::uint64_t groups_before_stop = 0;
  std::uint64_t lost = 0;  // KR2270_HcGetLostGroups
  std::uint64_t mismatches = 0;
  std::uint64_t gaps = 0;
  bool data_lost = false;
  std::int64_t receiver_cpu_ns = 0;  // every thread of the process but this one
  std::int64_t app_cpu_ns = 0;       // the library calls on this thread
};
// The full layout at rate_code (one the host does not decimate) with the
// recommended transfer size.
LibraryRun RunLibraryStream(const SimProcess& sim, std::int32_t rate_code, double seconds,
                            Pace pace, Check check, bool convert);

}  // namespace kr2270::bench
