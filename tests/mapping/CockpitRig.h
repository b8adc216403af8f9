// The benchmarks' virtual cockpit, borrowed by the integration and stress tests of the engine
// until those run on the end-to-end course.
#include "../../bench/CockpitRig.h"
