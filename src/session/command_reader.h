// The command reader: the thread that owns the command input. It cuts the byte stream into lines,
// skips blank ones, decodes the rest and queues Commands (or worded Invalid texts) for the main
// loop. It touches nothing but its descriptor, the decoder and its end of the channel.
#pragma once

#include "session/command_channel.h"

namespace procsampler::session {

// Starts the reader thread over fd (standard input in the program) and returns at once. The
// thread is detached and owns the sender until it finishes: at end of input, after the message
// for a read error, or when a send fails because the main loop is gone. It never closes fd. If
// the thread cannot be started the process aborts with "failed to spawn thread".
void startCommandReader(CommandSender sender, int fd);

// The thread's body, run on the calling thread; returns when the reader is finished, dropping
// the sender.
void runCommandReader(CommandSender sender, int fd);

}  // namespace procsampler::session
