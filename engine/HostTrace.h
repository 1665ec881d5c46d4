// Optional timing of the host's share of an echo-paced transfer, for benchmark builds
// (CMake option KQ_TRACE): two hooks that compile to nothing in the product build.
#pragma once

#if defined(KQ_TRACE) && KQ_TRACE

namespace hosttrace {
// Event thread: a batch of received bytes has just entered the receive queue.
void bytesQueued();
// Worker: the next record is about to be written.
void recordWriting();
}  // namespace hosttrace

#define KQ_TRACE_BYTES_QUEUED() ::hosttrace::bytesQueued()
#define KQ_TRACE_RECORD_WRITING() ::hosttrace::recordWriting()

#else

#define KQ_TRACE_BYTES_QUEUED() ((void)0)
#define KQ_TRACE_RECORD_WRITING() ((void)0)

#endif
