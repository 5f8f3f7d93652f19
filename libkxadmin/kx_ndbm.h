// The host's ndbm interface. GNU dbm's <ndbm.h> has neither an include guard
// nor C linkage declarations, so everything includes it through this header.
#pragma once

extern "C" {
#include <ndbm.h>
}
