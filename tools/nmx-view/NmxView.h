// nmx-view: the viewer of VxNmxLogger, callable without the process around it. Writes what
// it reports to out and its complaints to err, one line each.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "os/OsTypes.h"
#include "viewclient/ViewOptions.h"
#include "viewclient/ViewProcess.h"

class CViewSession;

// The whole program: argv[0] is its name.
int RunNmxView(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

// The follow command on a connected session.
int ViewFollow(CViewSession& s, const FollowOptions& f);
