#pragma once

// The standard descriptors 0-2 as the agent found them. One that was closed
// would be taken by the next file the agent opens (the store's directory, a
// log, an archive file): reads meant for standard input would read that
// file, and writes meant for stdout or stderr would land in it.

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the agent opens takes one, and remembers which were closed. main
// calls it first, before anything is opened.
void secureStandardStreams();

// Whether descriptor fd (0, 1 or 2) was closed when the agent started.
bool standardStreamWasClosed(int fd);
