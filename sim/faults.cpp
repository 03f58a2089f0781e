// Faults: one-shot misbehaviour of a reply or of the stream, and the faults
// that act at once (a restart, a stall, a dropped data connection).
#include "sim/server.h"

namespace kr2270::sim {

ReplyFault ReplyFault::Delay(int ms) {
  ReplyFault f;
  f.kind = Kind::kDelay;
  f.delay_ms = ms;
  return f;
}
ReplyFault ReplyFault::Split(std::vector<size_t> offsets, int gap) {
  ReplyFault f;
  f.kind = Kind::kSplit;
  f.split_at = std::move(offsets);
  f.gap_ms = gap;
  return f;
}
ReplyFault ReplyFault::Drop() {
  ReplyFault f;
  f.kind = Kind::kDrop;
  return f;
}
ReplyFault ReplyFault::Exception(uint8_t code) {
  ReplyFault f;
  f.kind = Kind::kException;
  f.exception_code = code;
  return f;
}
ReplyFault ReplyFault::Replace(std::vector<uint8_t> b) {
  ReplyFault f;
  f.kind = Kind::kReplace;
  f.bytes = std::move(b);
  return f;
}
ReplyFault ReplyFault::Rewrite(std::function<std::vector<uint8_t>(std::vector<uint8_t>)> fn) {
  ReplyFault f;
  f.kind = Kind::kRewrite;
  f.rewrite = std::move(fn);
  return f;
}
ReplyFault ReplyFault::Append(std::vector<uint8_t> b) {
  ReplyFault f;
  f.kind = Kind::kAppend;
  f.bytes = std::move(b);
  return f;
}
ReplyFault ReplyFault::Truncate(size_t keep, Then then) {
  ReplyFault f;
  f.kind = Kind::kTruncate;
  f.keep = keep;
  f.then = then;
  return f;
}
ReplyFault ReplyFault::Close() {
  ReplyFault f;
  f.kind = Kind::kClose;
  return f;
}
ReplyFault ReplyFault::Reset() {
  ReplyFault f;
  f.kind = Kind::kReset;
  return f;
}

DataFault DataFault::ResetAfter(uint64_t bytes) { return {Kind::kReset, bytes, 0}; }
DataFault DataFault::CloseAfter(uint64_t bytes) { return {Kind::kClose, bytes, 0}; }
DataFault DataFault::StallAfter(uint64_t bytes, int ms) { return {Kind::kStall, bytes, ms}; }


bool Simulator::Impl::Deliver(int c, std::vector<uint8_t> reply,
                              const std::optional<ReplyFault>& fault) {
  if (!fault) return SendAll(c, reply);
  if (fault->delay_ms > 0 && WaitStop(fault->delay_ms)) return false;
  using Kind = ReplyFault::Kind;
  switch (fault->kind) {
    case Kind::kDelay:
    case Kind::kException:
      return SendAll(c, reply);
    case Kind::kSplit: {
      std::vector<size_t> cuts = fault->split_at;
      std::sort(cuts.begin(), cuts.end());
      size_t from = 0;
      for (size_t cut : cuts) {
        cut = std::min(cut, reply.size());
        if (cut <= from) continue;
        if (!SendAll(c, reply.data() + from, cut - from)) return false;
        if (WaitStop(fault->gap_ms)) return false;
        from = cut;
      }
      return SendAll(c, reply.data() + from, reply.size() - from);
    }
    case Kind::kDrop:
      return true;
    case Kind::kReplace:
      return SendAll(c, fault->bytes);
    case Kind::kRewrite:
      return SendAll(c, fault->rewrite ? fault->rewrite(std::move(reply)) : reply);
    case Kind::kAppend:
      reply.insert(reply.end(), fault->bytes.begin(), fault->bytes.end());
      return SendAll(c, reply);
    case Kind::kTruncate:
      if (!SendAll(c, reply.data(), std::min(fault->keep, reply.size()))) return false;
      return fault->then == ReplyFault::Then::kSilent;
    case Kind::kClose:
    case Kind::kReset:
      return false;
  }
  return false;
}


void Simulator::InjectReplyFault(const ReplyFault& fault) {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->reply_faults.push_back(fault);
}


void Simulator::InjectDataFault(const DataFault& fault) {
  {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->data_faults.push_back(fault);
  }
  if (impl_->started) impl_->Notify();
}


void Simulator::Restart() {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lk(m.mu);
    m.module = detail::Module(m.opt);
    m.reply_faults.clear();
    m.data_faults.clear();
    ++m.restarts;
  }
  {
    // Ends both connections; each loop closes its own socket and accepts the
    // next one.
    std::lock_guard<std::mutex> lk(m.fd_mu);
    if (m.cmd_client >= 0) ::shutdown(m.cmd_client, SHUT_RDWR);
    if (m.data_client >= 0) ::shutdown(m.data_client, SHUT_RDWR);
  }
  m.Notify();
  m.Progress();
}

void Simulator::StallStream(int ms) {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lk(m.mu);
    m.data_faults.push_front(DataFault::StallAfter(0, ms));
  }
  m.Notify();
}

void Simulator::DropDataConnection(bool reset) {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lk(m.mu);
    m.data_faults.push_front(reset ? DataFault::ResetAfter(0) : DataFault::CloseAfter(0));
  }
  m.Notify();
}

uint64_t Simulator::restarts() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->restarts;
}


}  // namespace kr2270::sim
