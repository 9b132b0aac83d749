// A point where a walk can be held from outside, so that a test can signal,
// kill or race an operation at a known moment instead of guessing how long
// it takes. Off unless TARVEL_PAUSE_FIFO names a FIFO.
#pragma once

// The first call in the process, when TARVEL_PAUSE_FIFO names a FIFO, opens
// it for reading and waits until a writer has opened it and closed it again;
// every other call returns at once. A writer that opens the FIFO without
// blocking (O_NONBLOCK) succeeds exactly when the walk waits there.
void PausePoint();
