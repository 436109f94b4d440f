// Stand-in configuration program for the benchmark: the bridge starts it for the
// simulated device and kills it at disconnect. It does nothing in between, so it takes
// no CPU away from what is measured.
#include <unistd.h>

int main() {
    for (;;) pause();
}
