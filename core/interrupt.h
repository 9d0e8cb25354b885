// Interrupting long work.
//
// Loops whose length the input decides (unrolling a flattened function,
// waiting on a slow file) call `poll_interrupt()` every so often. It runs the
// hook that the embedding installed, which may end the call by throwing an
// exception of the embedding's own; without a hook it does nothing. The core
// never catches what the hook throws.
#pragma once

namespace quarvel {

using InterruptHook = void (*)();

/// Installs `hook`; nullptr removes it. Install once, before any call runs.
void set_interrupt_hook(InterruptHook hook) noexcept;

/// Runs the installed hook, if any, and lets whatever it throws pass.
void poll_interrupt();

}  // namespace quarvel
