#include "stream_runs.h"

#include <modbus.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "command_clients.h"
#include "sim/simulator.h"

namespace kr2270::bench {
namespace {

constexpr std::int32_t kTimeoutMs = 2000;
constexpr std::int32_t kMaxSplit = 65536;
constexpr std::size_t kPlainBuffer = std::size_t{1} << 20;

// Function 0x10 with one register: the module serves no other write.
bool WriteRegister(modbus_t* ctx, int address, std::uint16_t value) {
  return modbus_write_registers(ctx, address, 1, &value) == 1;
}

// Register values of the full layout: 4-byte codes of all eight channels,
// the digital word, four counters and two encoders.
bool WriteFullLayout(modbus_t* ctx, std::int32_t device_rate_code) {
  const struct {
    int address;
    std::uint16_t value;
  } writes[] = {{14, 0x04FF},
                {35, 0x0001},
                {53, 0x000F},
                {194, 0x0003},
                {16, static_cast<std::uint16_t>(device_rate_code)},
                {23, 0x0001}};
  for (const auto& w : writes) {
    if (!WriteRegister(ctx, w.address, w.value)) return false;
  }
  return true;
}

}  // namespace

bool OpenPlainStream(std::uint16_t command_port, std::uint16_t data_port,
                     std::int32_t device_rate_code, PlainStream* stream) {
  stream->modbus = modbus_new_tcp("127.0.0.1", command_port);
  if (stream->modbus == nullptr) return false;
  modbus_set_slave(stream->modbus, 1);
  if (modbus_connect(stream->modbus) != 0 || !WriteFullLayout(stream->modbus, device_rate_code)) {
    return false;
  }
  stream->fd = FloorConnect(data_port);
  return stream->fd >= 0 && WriteRegister(stream->modbus, 22, 0x0001);
}

void ClosePlainStream(PlainStream& stream) {
  if (stream.modbus != nullptr) {
    WriteRegister(stream.modbus, 22, 0);
    WriteRegister(stream.modbus, 23, 0);
  }
  if (stream.fd >= 0) close(stream.fd);
  if (stream.modbus != nullptr) {
    modbus_close(stream.modbus);
    modbus_free(stream.modbus);
  }
  stream = PlainStream{};
}

PlainRun RunPlainReceiver(const SimProcess& sim, std::int32_t device_rate_code, double seconds) {
  PlainRun run;
  PlainStream stream;
  if (OpenPlainStream(sim.command_port, sim.data_port, device_rate_code, &stream)) {
    std::vector<std::uint8_t> buffer(kPlainBuffer);
    const std::int64_t cpu0 = ThreadCpuNs();
    const double t0 = NowSeconds();
    double now = t0;
    while (now - t0 < seconds) {
      const ssize_t n = recv(stream.fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      run.bytes += static_cast<std::uint64_t>(n);
      now = NowSeconds();
    }
    run.cpu_ns = ThreadCpuNs() - cpu0;
    run.seconds = now - t0;
    run.ok = run.bytes > 0;
  }
  ClosePlainStream(stream);
  return run;
}

LibraryRun RunLibraryStream(const SimProcess& sim, std::int32_t rate_code, double seconds,
                            Pace pace, Check check, bool convert) {
  LibraryRun run;
  KR2270Device* device = KR2270_DeviceCreate();
  if (device == nullptr) return run;
  const std::int32_t transfer =
      RecommendedTransferBytes(static_cast<std::int32_t>(sim::GroupSize(FullLayout())),
                               sim::GroupRateOfDeviceCode(rate_code));
  StreamConsumer consumer;
  PrepareConsumer(consumer, device, FullLayout(), kMaxSplit);
  consumer.check = check;
  consumer.convert = convert;
  if (KR2270_CmdConnect(device, "127.0.0.1", 0, sim.command_port, sim.data_port, kTimeoutMs) == 0 &&
      ConfigureFullStream(device, rate_code, transfer, kTimeoutMs) == 0) {
    const std::int64_t process0 = ProcessCpuNs();
    const std::int64_t thread0 = ThreadCpuNs();
    const double t0 = NowSeconds();
    run.ok = KR2270_HcStart(device, 1, kTimeoutMs) == 0;
    double now = t0;
    while (run.ok && now - t0 < seconds) {
      if (pace == Pace::kEvery10Ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ConsumeAll(consumer);
      } else if (ConsumeOnce(consumer) == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      now = NowSeconds();
    }
    run.seconds = now - t0;
    run.receiver_cpu_ns = (ProcessCpuNs() - process0) - (ThreadCpuNs() - thread0);
    run.app_cpu_ns = consumer.library_cpu_ns;
    run.groups_before_stop = consumer.next_group;
    KR2270_HcStart(device, 0, kTimeoutMs);
    ConsumeAll(consumer);
    run.groups = consumer.next_group;
    run.mismatches = consumer.mismatches;
    run.gaps = consumer.gaps;
    KR2270_HcGetLostGroups(device, &run.lost);
    run.data_lost = KR2270_HcIsDataLost(device) == 1;
  }
  KR2270_CmdClose(device);
  KR2270_DeviceClose(device);
  return run;
}

}  // namespace kr2270::bench
