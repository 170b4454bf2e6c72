// Placeholders until the remaining stages land.
#include "base/panic.hpp"