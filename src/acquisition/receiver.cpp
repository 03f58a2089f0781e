#include "device/device.h"
#include "device/lifecycle.h"

namespace kr2270 {

// Placeholder until the stream receiver lands: idles until close.
void ReceiverLoop(Device* device) {
  std::unique_lock<std::mutex> hold(device->data_lock);
  device->receiver_wake.wait(hold, [&] { return device->thread_run.load() == 0; });
}

void CloseDataConnection(Device* device) {
  std::lock_guard<std::mutex> hold(device->data_lock);
  platform::CloseSocket(device->data_socket);
  device->data_socket = platform::kNoSocket;
  device->data_socket_wake.store(platform::kNoSocket);
}

}  // namespace kr2270
