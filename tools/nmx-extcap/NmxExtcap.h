// nmx-extcap: a logger's viewer port as a capture interface of Wireshark and tshark, through
// their extcap protocol, callable without the process around it. Control calls write their
// answer to out; complaints go to err, one line each.
#pragma once

#include <ostream>

// The interface it offers.
constexpr char kExtcapInterface[] = "nmxlogger";

// The whole program: argv[0] is its name. Returns the exit status (kViewExit... of nmx-view).
int RunNmxExtcap(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
