#include "device/export.h"

namespace {

// One table gives every status its text.
#define KR2270_STATUS_TABLE(X)                                                       \
  X(KR2270_OK, "success")                                                            \
  X(KR2270_ERROR_ARGUMENT, "null handle, bad argument or refused state")            \
  X(KR2270_ERROR_TIMEOUT, "reply time-out")                                          \
  X(KR2270_ERROR_RESET, "connection reset by the module")                           \
  X(KR2270_ERROR_SOCKET, "socket failure or not connected")                         \
  X(KR2270_ERROR_WRITE_ECHO, "bad write echo")                                       \
  X(KR2270_ERROR_READ_REPLY, "bad read reply")                                       \
  X(KR2270_ERROR_EXCEPTION4, "Modbus exception 4 (server device failure)")          \
  X(KR2270_ERROR_RANGE, "channel or counter out of range, or missing array")        \
  X(KR2270_ERROR_NETSTART, "socket library did not start")                          \
  X(KR2270_ERROR_CONNECT, "connection not established or bad address")              \
  X(KR2270_ERROR_FILE, "file or directory missing, path too long, or no next file") \
  X(KR2270_ERROR_FILE_WRITE, "short write to a recording")                           \
  X(KR2270_ERROR_FILE_READ, "bad recording header, start beyond the end, or short read") \
  X(KR2270_ERROR_FILE_SEEK, "positioning in a recording file failed")                \
  X(KR2270_ERROR_FILE_CLOSE, "closing a recording file failed")

}  // namespace

KR2270_EXPORT const char* KR2270_StatusText(int32_t status) {
  switch (status) {
#define KR2270_STATUS_CASE(code, text) \
  case code:                           \
    return text;
    KR2270_STATUS_TABLE(KR2270_STATUS_CASE)
#undef KR2270_STATUS_CASE
    default:
      return "unknown status";
  }
}
