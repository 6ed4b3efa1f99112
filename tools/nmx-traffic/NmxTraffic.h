// nmx-traffic: KRP traffic through the router. A server port answers KRP requests; a client
// port sends them to a target port from a mix, at a rate, and counts the answers.
#pragma once

// The whole program: parses argv (argv[0] is its name), runs the server and the client
// ports and prints the counts. Returns the exit status: 0 when every request was answered
// (or the server ran to its end), 1 when some were not, 2 for a usage or registration error.
// Takes SIGINT and SIGTERM on a thread of its own while it runs.
int RunNmxTraffic(int argc, char** argv);
