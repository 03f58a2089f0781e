#include "device/device.h"

#include <algorithm>
#include <new>

#include "device/export.h"
#include "device/lifecycle.h"

namespace kr2270 {
namespace {

// Handles are created and closed from one application thread at a time; the
// lock only keeps a careless caller from corrupting the list.
std::mutex& DeviceListLock() {
  static std::mutex lock;
  return lock;
}

std::vector<Device*>& DeviceList() {
  static std::vector<Device*> list;
  return list;
}

void AllocateRing(Device* device) {
  auto* storage = new (std::nothrow) std::uint8_t[kStreamFifoBytes];
  if (storage == nullptr) return;  // the ring stays at capacity 0
  device->stream_fifo.buffer = storage;
  device->stream_fifo.size = kStreamFifoBytes;
}

Device* CreateDevice() {
  auto* device = new (std::nothrow) Device();
  if (device == nullptr) return nullptr;
  AllocateRing(device);
  try {
    device->receiver_thread = std::thread(ReceiverLoop, device);
  } catch (...) {
    delete[] device->stream_fifo.buffer;
    delete device;
    return nullptr;
  }
  std::lock_guard<std::mutex> hold(DeviceListLock());
  DeviceList().push_back(device);
  return device;
}

void StopReceiver(Device* device) {
  device->thread_run.store(0);
  // Wake a receive in progress, then an idle wait; the thread checks
  // thread_run in every loop, so the join is prompt.
  platform::ShutdownSocket(device->data_socket_wake.load());
  {
    std::lock_guard<std::mutex> hold(device->data_lock);
    device->receiver_wake.notify_all();
  }
  {
    std::lock_guard<std::mutex> hold(device->wait_lock);
    device->groups_ready.notify_all();
  }
  if (device->receiver_thread.joinable()) device->receiver_thread.join();
}

void CloseDevice(Device* device) {
  StopReceiver(device);
  CloseRecordingFile(device);
  ReleaseReader(device);
  CloseDataConnection(device);
  CloseCommandConnection(device);
  {
    std::lock_guard<std::mutex> hold(DeviceListLock());
    auto& list = DeviceList();
    list.erase(std::remove(list.begin(), list.end(), device), list.end());
  }
  delete[] device->stream_fifo.buffer;
  delete device;
}

}  // namespace

std::vector<Device*> DeviceListSnapshot() {
  std::lock_guard<std::mutex> hold(DeviceListLock());
  return DeviceList();
}

void SetRecordFileLimit(Device* device, std::int32_t limit) {
  std::lock_guard<std::mutex> hold(device->file_lock);
  device->writer.file_limit = limit;
}

}  // namespace kr2270

KR2270_EXPORT KR2270Device* KR2270_DeviceCreate(void) {
  try {
    return kr2270::CreateDevice();
  } catch (...) {
    return nullptr;
  }
}

KR2270_EXPORT void KR2270_DeviceClose(KR2270Device* device) {
  if (device == nullptr) return;
  kr2270::GuardedVoid([&] { kr2270::CloseDevice(device); });
}
