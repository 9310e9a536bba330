// The session half of the reaper's pass: counts idle sessions down and deletes
// the library client of a session whose time is up.
#pragma once

// One pass over DeviceSessions, index 0 to 63. A session whose client has a
// tunnel context is counted down unless its tunnel carried more than 70 counter
// units since the last pass (then it starts again at 120); one whose client has
// none is left alone unless it was doomed. At 0 or below the session is deleted,
// unless a worker still holds it: then it waits for a later pass. A session
// still connecting that no waiting request asked for in kUnaskedConnectingPasses
// passes is doomed first.
void ReapSessions();
