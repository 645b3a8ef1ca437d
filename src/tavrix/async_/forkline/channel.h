// The result channel of a batch: how a child's message reaches the parent.
// The trust model is stated at the top of channel.cpp.
#pragma once

#include "batch.h"
#include "runtime.h"

namespace forkline::channel {

// Opens the batch's channel (an unnamed socket pair); raises OSError.
void open(Batch& batch);

// Closes both ends in this process.
void close(Batch& batch);

// In a child of the batch: sends its one message. `raised` is the exception
// the target raised (null when it returned), for the text of a failure to
// send it. A child whose parent has gone sends nothing.
void send(Batch& batch, std::size_t slot, PyObject* message, PyObject* raised, PyObject* globals);

// In the parent: reads every whole message waiting and appends each to
// `into` as the queue's get() would return it, marking its slot delivered.
// A message that cannot be loaded becomes a failure at its child's index.
// Never waits.
void receive(Batch& batch, PyObject* into, PyObject* globals);

}  // namespace forkline::channel
