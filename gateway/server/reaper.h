// The reaper thread DeleteClient: about once a second it frees the slots of
// finished workers (closing their connections, which ends the replies) and
// counts idle device sessions down, deleting those whose time is up. It is the
// only place where connections are closed and library clients deleted.
#pragma once

// One pass: finished worker slots, then the sessions.
void ReaperPass();
// Thread routine; runs for the life of the process.
unsigned DeleteClient(void* unused);
