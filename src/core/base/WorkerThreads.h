#pragma once

// How many threads the work shared out among threads may use: the
// environment's CORVANE_THREADS when it is a whole number from 1 to 256 (to
// run the same work with other counts, as the tests do), else the cores the
// machine has (at least 1).
unsigned WorkerThreadCount();
