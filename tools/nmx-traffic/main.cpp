// nmx-traffic: KRP traffic through the router. The program lives in vx_nmxtraffic.
#include "nmx-traffic/NmxTraffic.h"

int main(int argc, char** argv) {
  return RunNmxTraffic(argc, argv);
}
