#include "graph/interrupt.hpp"

namespace morvend {
namespace {

thread_local const InterruptScope* tl_current = nullptr;

}  // namespace

InterruptScope::InterruptScope(InterruptSource& source)
    : source_(&source),
      parent_(tl_current),
      previous_(tl_current),
      owner_(std::this_thread::get_id()),
      next_ask_(std::chrono::steady_clock::now() + kInterruptPollInterval) {
  tl_current = this;
}

InterruptScope::InterruptScope(const std::atomic<bool>& stop, const InterruptScope* parent)
    : stop_(&stop), parent_(parent), previous_(tl_current), owner_(std::this_thread::get_id()) {
  tl_current = this;
}

InterruptScope::~InterruptScope() { tl_current = previous_; }

const InterruptScope* InterruptScope::current() { return tl_current; }

bool stop_requested() {
  for (const InterruptScope* s = tl_current; s != nullptr; s = s->parent_) {
    if (s->stop_ != nullptr && s->stop_->load(std::memory_order_relaxed)) return true;
  }
  return false;
}

bool interrupt_requested() {
  const std::thread::id self = std::this_thread::get_id();
  for (const InterruptScope* s = tl_current; s != nullptr; s = s->parent_) {
    if (s->stop_ != nullptr && s->stop_->load(std::memory_order_relaxed)) return true;
    // A source is asked only on its own thread: the binding's needs the
    // interpreter, and signals are handled on the thread that installed it.
    if (s->source_ == nullptr || s->owner_ != self) continue;
    if (s->tripped_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now < s->next_ask_) continue;
    s->next_ask_ = now + kInterruptPollInterval;
    if (s->source_->interrupted()) return s->tripped_ = true;
  }
  return false;
}

}  // namespace morvend
