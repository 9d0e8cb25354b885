#include "core/interrupt.h"

namespace quarvel {

namespace {
InterruptHook g_hook = nullptr;
}  // namespace

void set_interrupt_hook(InterruptHook hook) noexcept { g_hook = hook; }

void poll_interrupt() {
  if (g_hook != nullptr) g_hook();
}

}  // namespace quarvel
