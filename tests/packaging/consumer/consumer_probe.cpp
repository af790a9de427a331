// The same program as consumer_probe.c, compiled as C++.
#include "consumer_probe.c"
