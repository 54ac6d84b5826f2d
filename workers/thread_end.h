#pragma once
// Per-thread state that a library frees only from its own thread-exit hook
// outlives the moment a worker counts itself finished: a process that exits
// right after waiting for its workers may find that state belonging to no
// live thread. Libraries register a release function here; every worker
// thread runs them after its body and before it reports itself done.

namespace lumigrab {

// Registers `release` once (later calls with the same function do nothing).
// At most a handful are kept; the registry is process-wide and never shrinks.
void AtEveryWorkerEnd(void (*release)());

// Runs every registered release function on the calling thread.
void ReleaseWorkerThreadState();

}  // namespace lumigrab
