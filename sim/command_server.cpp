// The command server: Modbus/TCP requests answered by libmodbus against the
// register map, each reply handed to the faults before it leaves.
#include "sim/server.h"

namespace kr2270::sim {

namespace {

// Exception code for a request the module refuses, 0 when it is served.
int ValidateRequest(const uint8_t* req, int n) {
  if (req[6] != 1) return MODBUS_EXCEPTION_GATEWAY_TARGET;
  const uint8_t fn = req[7];
  if (fn != MODBUS_FC_READ_HOLDING_REGISTERS && fn != MODBUS_FC_WRITE_MULTIPLE_REGISTERS)
    return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
  if (n < 12) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
  const int address = req[8] << 8 | req[9];
  const int qty = req[10] << 8 | req[11];
  if (fn == MODBUS_FC_READ_HOLDING_REGISTERS) {
    if (qty < 1 || qty > MODBUS_MAX_READ_REGISTERS) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
  } else if (qty < 1 || qty > MODBUS_MAX_WRITE_REGISTERS || n < 13 || req[12] != 2 * qty ||
             n != 13 + 2 * qty) {
    return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
  }
  for (int a = address; a < address + qty; ++a)
    if (a >= detail::kRegisterCount || !detail::Module::InMap(static_cast<uint16_t>(a)))
      return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
  return 0;
}

}  // namespace

// ---- command connection ------------------------------------------------------

void Simulator::Impl::CommandLoop() {
  while (!stopping.load()) {
    pollfd fds[2] = {{cmd_listen, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int c = ::accept4(cmd_listen, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) continue;
    // Injected splits must leave as separate segments.
    const int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
      std::lock_guard<std::mutex> lk(fd_mu);
      if (stopping.load()) {
        ::close(c);
        return;
      }
      cmd_client = c;
    }
    const bool reset = ServeCommands(c);
    std::lock_guard<std::mutex> lk(fd_mu);
    if (reset) SetAbortiveClose(c);
    ::close(c);
    cmd_client = -1;
  }
}

// Serves one connection until it ends; true when it must end with a reset.
bool Simulator::Impl::ServeCommands(int c) {
  modbus_set_socket(rx, c);
  uint8_t req[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    pollfd fds[2] = {{c, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (fds[1].revents != 0) return false;
    // Closed, reset, a partial request that stalls, or a frame libmodbus
    // cannot parse: the connection ends.
    const int n = modbus_receive(rx, req);
    if (n < 0) return false;
    if (n < 8) continue;

    std::optional<ReplyFault> fault;
    bool refuse = false;
    int exception = 0;
    bool wrote = false;
    {
      std::lock_guard<std::mutex> lk(mu);
      const double t = NowLocked();
      module.NoteCommand(t);
      ++requests;
      recent.emplace_back(req, req + n);
      if (recent.size() > kRecentRequests) recent.pop_front();
      if (!reply_faults.empty()) {
        fault = std::move(reply_faults.front());
        reply_faults.pop_front();
      }
      if (fault && fault->kind == ReplyFault::Kind::kException) {
        refuse = true;
        exception = fault->exception_code;
      } else {
        exception = ValidateRequest(req, n);
        refuse = exception != 0;
      }
      if (!refuse) {
        const auto address = static_cast<uint16_t>(req[8] << 8 | req[9]);
        const int qty = req[10] << 8 | req[11];
        if (req[7] == MODBUS_FC_READ_HOLDING_REGISTERS) {
          for (int i = 0; i < qty; ++i)
            mapping->tab_registers[address + i] =
                module.Read(static_cast<uint16_t>(address + i), t);
        } else {
          module.Write(address, req + 13, qty, t);
          wrote = true;
        }
      }
      if (running) param_changes.emplace_back(t, module.params());
    }
    if (wrote) Notify();
    Progress();
    std::vector<uint8_t> reply = BuildReply(req, n, refuse, exception);
    if (!Deliver(c, std::move(reply), fault))
      return fault && (fault->kind == ReplyFault::Kind::kReset ||
                       (fault->kind == ReplyFault::Kind::kTruncate &&
                        fault->then == ReplyFault::Then::kReset));
  }
}

// libmodbus frames the reply into the socket pair; we read it back so that
// faults can alter it before it reaches the client.
std::vector<uint8_t> Simulator::Impl::BuildReply(const uint8_t* req, int n, bool refuse,
                                                 int exception) {
  int r = -1;
  if (!refuse)
    r = modbus_reply(tx, req, n, mapping);
  else if (exception > 0 && exception < MODBUS_EXCEPTION_MAX)
    r = modbus_reply_exception(tx, req, static_cast<unsigned>(exception));
  if (r < 0) {  // codes libmodbus will not send (0, 12..255)
    return {req[0], req[1], 0, 0, 0, 3, req[6], static_cast<uint8_t>(req[7] | 0x80),
            static_cast<uint8_t>(exception)};
  }
  std::vector<uint8_t> out;
  uint8_t buf[MODBUS_TCP_MAX_ADU_LENGTH];
  for (;;) {
    const ssize_t got = ::recv(pair[1], buf, sizeof buf, MSG_DONTWAIT);
    if (got <= 0) break;
    out.insert(out.end(), buf, buf + got);
  }
  return out;
}

// Sends the reply as the fault says; false when the connection must end.
}  // namespace kr2270::sim
