#pragma once

// Stand-in for <dispatch/dispatch.h>: the queue type Core Audio's I/O
// blocks take (declared in Apple's dispatch/queue.h, which this includes
// there). Never dereferenced: the simulation runs blocks on its own thread.
// https://developer.apple.com/documentation/dispatch/dispatch_queue_t

typedef struct dispatch_queue_s* dispatch_queue_t;
