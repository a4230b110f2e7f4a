#pragma once

// Stopping the running job from any thread (a signal's, say).

namespace localplatform {

// Asks the running job to stop, from any thread (a signal's, say): pauses
// end at once, and no archive file is created from then on, so that the
// library's setup fails fast and the agent can invalidate what was made.
// Lasts until the process ends.
void interrupt();
bool interrupted();

}  // namespace localplatform
